#include "Core/detail/HTTPText.h"

#include <openssl/rand.h>

#include <cctype>
#include <random>

#include "Platform/Format.h"

namespace core_detail {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool containsIgnoringCase(std::string_view text, std::string_view word) {
    for (size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (equalsIgnoringCase(text.substr(at, word.size()), word)) return true;
    }
    return false;
}

std::string_view trimmed(std::string_view text) {
    const char* blanks = " \t\r\n";
    const size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos) return {};
    const size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

std::string newUuidString() {
    uint8_t b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        // Digest nonces are made from these: never a sequence that repeats from run to run.
        std::random_device device;
        for (auto& x : b) x = static_cast<uint8_t>(device());
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    return platform::format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2],
                            b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

}  // namespace core_detail
