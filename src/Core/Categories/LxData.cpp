#include "Core/Categories/LxData.h"

#include <algorithm>

#include "Platform/Crypto/Digest.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of a Base64 alphabet character, or -1 for any other byte.
int base64Value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

LxData::Bytes LxData::md5Digest(std::span<const uint8_t> data) {
    return platform::digest(platform::DigestAlgorithm::MD5, data);
}

LxData::Bytes LxData::sha1Digest(std::span<const uint8_t> data) {
    return platform::digest(platform::DigestAlgorithm::SHA1, data);
}

std::string LxData::hexStringValue(std::span<const uint8_t> data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data.size() * 2);
    for (uint8_t byte : data) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string LxData::base64Encoded(std::span<const uint8_t> data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        const size_t real = std::min<size_t>(3, data.size() - i);
        const uint8_t b1 = data[i];
        const uint8_t b2 = real > 1 ? data[i + 1] : 0;
        const uint8_t b3 = real > 2 ? data[i + 2] : 0;
        const char out[4] = {
            kAlphabet[b1 >> 2],
            kAlphabet[((b1 & 0x03) << 4) | (b2 >> 4)],
            kAlphabet[((b2 & 0x0F) << 2) | (b3 >> 6)],
            kAlphabet[b3 & 0x3F],
        };
        text.append(out, real + 1);
        text.append(3 - real, '=');
    }
    return text;
}

LxData::Bytes LxData::base64Decoded(std::span<const uint8_t> text) {
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    uint8_t slot[4] = {0, 0, 0, 0};
    size_t filled = 0;
    auto appendGroup = [&](size_t bytes) {
        const uint8_t decoded[3] = {
            static_cast<uint8_t>((slot[0] << 2) | (slot[1] >> 4)),
            static_cast<uint8_t>(((slot[1] & 0x0F) << 4) | (slot[2] >> 2)),
            static_cast<uint8_t>(((slot[2] & 0x03) << 6) | slot[3]),
        };
        out.insert(out.end(), decoded, decoded + bytes);
    };
    for (uint8_t c : text) {
        if (c == '=') {
            // The first "=" ends the text: one or two filled slots make one byte, three make two.
            if (filled == 1 || filled == 2) appendGroup(1);
            else if (filled == 3) appendGroup(2);
            return out;
        }
        const int value = base64Value(c);
        if (value < 0) continue;
        slot[filled++] = static_cast<uint8_t>(value);
        if (filled == 4) {
            appendGroup(3);
            slot[0] = slot[1] = slot[2] = slot[3] = 0;
            filled = 0;
        }
    }
    // Without padding, a trailing group of one to three characters is dropped.
    return out;
}
