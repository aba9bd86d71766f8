#include "Util/CommonUtil.h"

#include <map>
#include <mutex>

#include "Platform/BundleInfo.h"
#include "Platform/Crypto/SecureRandom.h"

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::uint8_t digitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return static_cast<std::uint8_t>(c - 'A' + 10);
}

template <class T>
T readBigEndian(std::span<const std::uint8_t> data) {
    if (data.size() < sizeof(T)) return 0;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value = (value << 8) | data[i];
    return static_cast<T>(value);
}

template <class T>
T readLittleEndian(std::span<const std::uint8_t> data) {
    if (data.size() < sizeof(T)) return 0;
    std::uint64_t value = 0;
    for (std::size_t i = sizeof(T); i > 0; --i) value = (value << 8) | data[i - 1];
    return static_cast<T>(value);
}

ByteBuffer writeBigEndian(std::uint64_t value, std::size_t size) {
    ByteBuffer out(size);
    for (std::size_t i = size; i > 0; --i) {
        out[i - 1] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
    return out;
}

ByteBuffer writeLittleEndian(std::uint64_t value, std::size_t size) {
    ByteBuffer out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
    return out;
}

// The text's characters as Unicode code points; a malformed UTF-8 byte counts as one
// character of its own, so that the length rules below can never be fooled into reading on.
std::u32string codePoints(std::string_view text) {
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        if (i + extra >= text.size()) extra = 0;  // a cut-off sequence: its lead byte stands alone
        char32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
        bool ok = true;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            extra = 0;
            cp = b;
        }
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

// The integer a text reads as: leading white space, an optional sign, then decimal digits up
// to the first other character; 0 when there are none.
long long intValue(std::u32string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == U' ' || text[i] == U'\t' || text[i] == U'\n' || text[i] == U'\r')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == U'+' || text[i] == U'-')) negative = text[i++] == U'-';
    long long value = 0;
    while (i < text.size() && text[i] >= U'0' && text[i] <= U'9' && value < 1000000000000LL)
        value = value * 10 + (text[i++] - U'0');
    return negative ? -value : value;
}

std::mutex defaultsMutex;
std::map<std::string, nlohmann::json> defaultsStore;  // guarded by defaultsMutex

void appendLatin1(ByteBuffer& out, std::string_view text) {
    ByteBuffer latin;
    for (char32_t cp : codePoints(text)) {
        if (cp > 0xFF) return;  // not writable in Latin-1: the id adds nothing
        latin.push_back(static_cast<std::uint8_t>(cp));
    }
    out.insert(out.end(), latin.begin(), latin.end());
}

void append(ByteBuffer& out, std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

constexpr std::uint8_t kSeparator = 0x7C;

}  // namespace

std::string CommonUtil::hexStringFromData(const ByteBuffer& data, bool withSpace) {
    std::string text;
    text.reserve(data.size() * 3);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (withSpace && i > 0) text.push_back(' ');
        text.push_back(kUpperDigits[data[i] >> 4]);
        text.push_back(kUpperDigits[data[i] & 0x0F]);
    }
    return text;
}

std::optional<std::string> CommonUtil::hexStringFromData(const std::optional<ByteBuffer>& data, bool withSpace) {
    if (!data) return std::nullopt;
    return hexStringFromData(*data, withSpace);
}

std::optional<std::string> CommonUtil::dataToHexString(const std::optional<ByteBuffer>& data) {
    if (!data || data->empty()) return std::nullopt;
    return hexStringFromData(*data, false);
}

std::string CommonUtil::cleanNonHexCharsFromHexString(std::string_view text) {
    // Every "0x" goes first, in one pass over the original text, then every non-digit: so
    // "00x1" loses its "0x" and keeps "01", and "0X1g2" becomes "12".
    std::string withoutPrefixes;
    withoutPrefixes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        withoutPrefixes.push_back(text[i]);
    }
    std::string cleaned;
    cleaned.reserve(withoutPrefixes.size());
    for (char c : withoutPrefixes)
        if (isHexDigit(c)) cleaned.push_back(c);
    return cleaned;
}

std::optional<std::string> CommonUtil::cleanNonHexCharsFromHexString(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return cleanNonHexCharsFromHexString(std::string_view(*text));
}

ByteBuffer CommonUtil::dataFromHexString(std::string_view text) {
    const std::string digits = cleanNonHexCharsFromHexString(text);
    ByteBuffer out;
    out.reserve(digits.size() / 2);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(digitValue(digits[i]) << 4 | digitValue(digits[i + 1])));
    return out;
}

std::optional<ByteBuffer> CommonUtil::dataFromHexString(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return dataFromHexString(std::string_view(*text));
}

std::optional<ByteBuffer> CommonUtil::getRandomData(std::int32_t count) {
    if (count < 0) return std::nullopt;
    ByteBuffer bytes(static_cast<std::size_t>(count));
    if (!platform::secureRandomBytes(bytes)) return std::nullopt;
    return bytes;
}

std::optional<std::uint64_t> CommonUtil::getRandomUInt64() {
    std::optional<ByteBuffer> bytes = getRandomData(8);
    if (!bytes) return std::nullopt;
    return UInt64FromData(*bytes);
}

std::optional<std::uint32_t> CommonUtil::getRandomUInt32() {
    std::optional<ByteBuffer> bytes = getRandomData(4);
    if (!bytes) return std::nullopt;
    return static_cast<std::uint32_t>(int32FromData(*bytes));
}

std::uint64_t CommonUtil::UInt64FromData(std::span<const std::uint8_t> data) { return readBigEndian<std::uint64_t>(data); }
std::int32_t CommonUtil::int32FromData(std::span<const std::uint8_t> data) {
    return static_cast<std::int32_t>(readBigEndian<std::uint32_t>(data));
}
std::uint16_t CommonUtil::int16FromData(std::span<const std::uint8_t> data) { return readBigEndian<std::uint16_t>(data); }
std::int32_t CommonUtil::intFromData(std::span<const std::uint8_t> data) { return int32FromData(data); }
std::int32_t CommonUtil::int32FromDataReverse(std::span<const std::uint8_t> data) {
    return static_cast<std::int32_t>(readLittleEndian<std::uint32_t>(data));
}
std::uint64_t CommonUtil::UInt64FromDataReverse(std::span<const std::uint8_t> data) {
    return readLittleEndian<std::uint64_t>(data);
}

ByteBuffer CommonUtil::dataFromInt16(std::uint16_t value) { return writeBigEndian(value, 2); }
ByteBuffer CommonUtil::dataFromInt32(std::uint32_t value) { return writeBigEndian(value, 4); }
ByteBuffer CommonUtil::dataFromInt64(std::uint64_t value) { return writeBigEndian(value, 8); }
ByteBuffer CommonUtil::dataFromInt(std::uint32_t value) { return dataFromInt32(value); }
ByteBuffer CommonUtil::dataFromInt32Reverse(std::uint32_t value) { return writeLittleEndian(value, 4); }
ByteBuffer CommonUtil::dataFromInt64Reverse(std::uint64_t value) { return writeLittleEndian(value, 8); }

std::optional<std::string> CommonUtil::getVersionInfoFromPlist() {
    std::string version = platform::BundleInfo::version();
    if (version.empty()) return std::nullopt;
    return version;
}

std::optional<std::string> CommonUtil::md5String(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    return Bytes::md5String({reinterpret_cast<const std::uint8_t*>(text->data()), text->size()});
}

bool CommonUtil::isValidChar(char c) { return isHexDigit(c); }

int CommonUtil::hexValue(int c) {
    if (c >= 97) return c - 87;
    if (c > 64) return c - 55;
    return c - 48;
}

ByteBuffer CommonUtil::hexify(std::span<const std::uint8_t> data) {
    ByteBuffer out;
    out.reserve(data.size() * 2);
    for (std::uint8_t b : data) {
        out.push_back(static_cast<std::uint8_t>(kUpperDigits[b >> 4]));
        out.push_back(static_cast<std::uint8_t>(kUpperDigits[b & 0x0F]));
    }
    return out;
}

ByteBuffer CommonUtil::unHexify(std::span<const std::uint8_t> data) {
    ByteBuffer out;
    out.reserve(data.size() / 2);
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(16 * hexValue(data[i]) + hexValue(data[i + 1])));
    return out;
}

std::string CommonUtil::hexifiedString(std::span<const std::uint8_t> data) {
    const ByteBuffer chars = hexify(data);
    return std::string(chars.begin(), chars.end());  // hexadecimal digits are the same in Latin-1 and UTF-8
}

void CommonUtil::setDefaults(const std::string& key, const nlohmann::json& value) {
    std::lock_guard<std::mutex> lock(defaultsMutex);
    defaultsStore[key] = value;
}

ByteBuffer CommonUtil::createHashSourceFromRequestCounter(std::uint64_t requestCounter, std::uint64_t sequenceNumber,
                                                          std::span<const std::uint8_t> midChallengeRequestKey,
                                                          std::string_view uniqueHwId) {
    ByteBuffer out;
    appendLatin1(out, uniqueHwId);
    out.push_back(kSeparator);
    append(out, midChallengeRequestKey);
    out.push_back(kSeparator);
    append(out, dataFromInt64(sequenceNumber));
    out.push_back(kSeparator);
    append(out, dataFromInt64(requestCounter));
    return out;
}

ByteBuffer CommonUtil::createHashSourceFromSequenceNumber(std::uint64_t sequenceNumber,
                                                          std::span<const std::uint8_t> challengeKey,
                                                          std::span<const std::uint8_t> challengeID,
                                                          std::span<const std::uint8_t> challenge,
                                                          std::string_view uniqueHwId) {
    ByteBuffer out;
    appendLatin1(out, uniqueHwId);
    out.push_back(kSeparator);
    append(out, challengeKey);
    out.push_back(kSeparator);
    append(out, challengeID);
    out.push_back(kSeparator);
    append(out, challenge);
    out.push_back(kSeparator);
    append(out, dataFromInt64(sequenceNumber));
    return out;
}

bool CommonUtil::isValidFoedselNummer(std::string_view text) {
    const std::u32string chars = codePoints(text);
    if (chars.size() != 11) return false;
    const std::u32string_view view(chars);
    const long long day = intValue(view.substr(0, 2));
    const long long month = intValue(view.substr(2, 2));
    const long long year = intValue(view.substr(4, 2));
    static constexpr int maxDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (day < 1 || month < 1 || month > 12) return false;
    if (day > maxDays[month - 1]) return false;
    if (month == 2 && day >= 29 && year % 4 != 0) return false;

    long long d[11];
    for (std::size_t i = 0; i < 11; ++i) d[i] = intValue(view.substr(i, 1));
    static constexpr int w1[] = {3, 7, 6, 1, 8, 9, 4, 5, 2};
    static constexpr int w2[] = {5, 4, 3, 2, 7, 6, 5, 4, 3, 2};
    long long s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < 9; ++i) s1 += w1[i] * d[i];
    for (std::size_t i = 0; i < 10; ++i) s2 += w2[i] * d[i];
    long long k1 = 11 - (s1 % 11);
    long long k2 = 11 - (s2 % 11);
    if (k1 == 11) k1 = 0;
    if (k2 == 11) k2 = 0;
    return k1 == d[9] && k2 == d[10];
}

bool CommonUtil::isValidFoedselNummer2(std::string_view text) {
    const std::u32string chars = codePoints(text);
    if (chars.size() != 11) return false;
    return intValue(std::u32string_view(chars).substr(10, 1)) == 0;
}
