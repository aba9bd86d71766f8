#include "Platform/Text/StringEncoding.h"

namespace platform {

bool isValidUTF8(std::span<const uint8_t> bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The first continuation byte's range rules out overlong forms (after 0xE0 and 0xF0),
        // surrogates (after 0xED) and code points above U+10FFFF (after 0xF4).
        size_t extra = 0;
        uint8_t firstLow = 0x80, firstHigh = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            if (lead == 0xE0) firstLow = 0xA0;
            if (lead == 0xED) firstHigh = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            if (lead == 0xF0) firstLow = 0x90;
            if (lead == 0xF4) firstHigh = 0x8F;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t c = bytes[i + k];
            if (c < (k == 1 ? firstLow : 0x80) || c > (k == 1 ? firstHigh : 0xBF)) return false;
        }
        i += extra + 1;
    }
    return true;
}

std::optional<std::string> stringFromBytes(std::span<const uint8_t> bytes, StringEncoding encoding) {
    switch (encoding) {
    case StringEncoding::ASCII:
        for (uint8_t b : bytes) {
            if (b >= 0x80) return std::nullopt;
        }
        return std::string(bytes.begin(), bytes.end());
    case StringEncoding::UTF8:
        if (!isValidUTF8(bytes)) return std::nullopt;
        return std::string(bytes.begin(), bytes.end());
    case StringEncoding::ISOLatin1: {
        std::string text;
        text.reserve(bytes.size());
        for (uint8_t b : bytes) {
            if (b < 0x80) {
                text.push_back(static_cast<char>(b));
            } else {
                text.push_back(static_cast<char>(0xC0 | (b >> 6)));
                text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
            }
        }
        return text;
    }
    }
    return std::nullopt;
}

}  // namespace platform
