// Text from bytes in a named encoding: the stand-in for the platform string class's
// conversion from bytes (a string "with data in an encoding", or none when the bytes are not
// valid in it). Texts are held as UTF-8 in std::string throughout the system, so every
// conversion answers UTF-8.
//
// Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// The encodings the system names, numbered as the platform numbers them.
enum class StringEncoding : uint64_t {
    ASCII = 1,
    UTF8 = 4,
    ISOLatin1 = 5,
};

// The bytes as text, or nullopt when they are not valid in the encoding:
// - ASCII: bytes below 0x80 only;
// - UTF-8: well-formed UTF-8 only (no overlong forms, no surrogates, nothing above U+10FFFF);
// - ISO Latin 1: every byte (each becomes the code point of its value);
// - any other number: nullopt.
std::optional<std::string> stringFromBytes(std::span<const uint8_t> bytes, StringEncoding encoding);
inline std::optional<std::string> stringFromBytes(std::string_view bytes, StringEncoding encoding) {
    return stringFromBytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                           encoding);
}

// Whether the bytes are well-formed UTF-8 (as above).
bool isValidUTF8(std::span<const uint8_t> bytes);

}  // namespace platform
