// Digests and text forms of byte buffers for the HTTP toolkit: MD5 and SHA-1 (digest
// authentication, the web socket handshake), lower-case hexadecimal, and Base64 both ways
// (basic authentication, the web socket accept value, multipart bodies).
//
// Base64 decoding is lenient on purpose, as clients and mail encoders write it: every byte
// outside the alphabet and "=" is skipped (blanks and line breaks anywhere), the first "="
// ends the text (what follows is never read), and a trailing group of one to three
// characters without padding is dropped.
//
// Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class LxData {
public:
    using Bytes = std::vector<uint8_t>;

    // 16 bytes: the MD5 digest of all of `data`; no bytes when the crypto library cannot
    // make it (a configuration without MD5), which a caller checking a secret must refuse.
    static Bytes md5Digest(std::span<const uint8_t> data);
    // 20 bytes: the SHA-1 digest of all of `data`; no bytes when it cannot be made.
    static Bytes sha1Digest(std::span<const uint8_t> data);
    // Two lower-case hexadecimal digits per byte, no separators; "" for no bytes.
    static std::string hexStringValue(std::span<const uint8_t> data);
    // Standard Base64 with "=" padding and no line breaks; "" for no bytes.
    static std::string base64Encoded(std::span<const uint8_t> data);
    // The bytes of the Base64 text `text`, by the lenient rules above.
    static Bytes base64Decoded(std::span<const uint8_t> text);

    // The same operations on the bytes of a string.
    static Bytes md5Digest(std::string_view data) { return md5Digest(bytesOf(data)); }
    static Bytes sha1Digest(std::string_view data) { return sha1Digest(bytesOf(data)); }
    static std::string base64Encoded(std::string_view data) { return base64Encoded(bytesOf(data)); }
    static Bytes base64Decoded(std::string_view text) { return base64Decoded(bytesOf(text)); }

private:
    static std::span<const uint8_t> bytesOf(std::string_view text) {
        return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
    }
};
