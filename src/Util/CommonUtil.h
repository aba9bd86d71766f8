// Hexadecimal text, integer packing, random bytes and the version text: the stateless helpers
// that the card layer and the web API share.
//
// Every function is static, may be called from any thread and never throws. Where the
// callers tell nil from empty, the argument or result is a std::optional: hexStringFromData
// of empty bytes is "", dataToHexString of empty bytes is nil, and a nil argument gives nil.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Util/Bytes.h"

class CommonUtil {
public:
    CommonUtil() = delete;

    // Upper-case hexadecimal, "%02X" per byte; withSpace puts one blank between bytes (none
    // after the last). Empty bytes give "", nil gives nil.
    static std::string hexStringFromData(const ByteBuffer& data, bool withSpace = false);
    static std::optional<std::string> hexStringFromData(const std::optional<ByteBuffer>& data, bool withSpace = false);

    // Upper-case hexadecimal without separators; nil for nil and for empty bytes.
    static std::optional<std::string> dataToHexString(const std::optional<ByteBuffer>& data);

    // The text with every "0x" removed (letter case ignored, so "0X" too), then every
    // character other than 0-9, a-f, A-F removed. Nil gives nil.
    static std::string cleanNonHexCharsFromHexString(std::string_view text);
    static std::optional<std::string> cleanNonHexCharsFromHexString(const std::optional<std::string>& text);

    // The cleaned text read as digit pairs from the start, one byte each; an odd last digit
    // is ignored, fewer than two digits give empty bytes. Nil gives nil.
    static ByteBuffer dataFromHexString(std::string_view text);
    static std::optional<ByteBuffer> dataFromHexString(const std::optional<std::string>& text);

    // `count` bytes from the secure generator; nil when it fails or count is negative.
    static std::optional<ByteBuffer> getRandomData(std::int32_t count);
    // The big-endian value of 8 (or 4) random bytes; nil when the generator fails, so that a
    // failed draw can never pass for the number 0.
    static std::optional<std::uint64_t> getRandomUInt64();
    static std::optional<std::uint32_t> getRandomUInt32();

    // Integer readers: the first 8, 4 or 2 bytes, big-endian (the Reverse ones little-endian).
    // Bytes after those are ignored; an input shorter than the integer gives 0 and no byte
    // outside the input is read.
    static std::uint64_t UInt64FromData(std::span<const std::uint8_t> data);
    static std::int32_t int32FromData(std::span<const std::uint8_t> data);
    static std::uint16_t int16FromData(std::span<const std::uint8_t> data);
    static std::int32_t intFromData(std::span<const std::uint8_t> data);  // as int32FromData
    static std::int32_t int32FromDataReverse(std::span<const std::uint8_t> data);
    static std::uint64_t UInt64FromDataReverse(std::span<const std::uint8_t> data);

    // Integer writers: 2, 4 or 8 bytes, big-endian (the Reverse ones little-endian).
    static ByteBuffer dataFromInt16(std::uint16_t value);
    static ByteBuffer dataFromInt32(std::uint32_t value);
    static ByteBuffer dataFromInt64(std::uint64_t value);
    static ByteBuffer dataFromInt(std::uint32_t value);  // as dataFromInt32
    static ByteBuffer dataFromInt32Reverse(std::uint32_t value);
    static ByteBuffer dataFromInt64Reverse(std::uint64_t value);

    // The program's version text, "1.4.0"; nil if the build carries none.
    static std::optional<std::string> getVersionInfoFromPlist();

    // MD5 of the text's UTF-8 bytes as 32 lower-case hexadecimal digits; nil for nil or "".
    static std::optional<std::string> md5String(const std::optional<std::string>& text);

    // True for the characters 0-9, A-F, a-f.
    static bool isValidChar(char c);
    // The value of one hexadecimal character code, without a check: c - 87 from 'a' (97) on,
    // c - 55 above '@' (64), else c - 48.
    static int hexValue(int c);
    // Bytes to ASCII upper-case hexadecimal characters, as bytes (twice the length).
    static ByteBuffer hexify(std::span<const std::uint8_t> data);
    // The inverse: each pair of ASCII hexadecimal characters to one byte (16 hexValue of the
    // first plus hexValue of the second, low 8 bits); an odd last character is ignored.
    static ByteBuffer unHexify(std::span<const std::uint8_t> data);
    // hexify read as text.
    static std::string hexifiedString(std::span<const std::uint8_t> data);

    // Stores the value under the key in the user's defaults. This process keeps its defaults
    // in memory only: nothing in the system reads them back.
    static void setDefaults(const std::string& key, const nlohmann::json& value);

    // Hash sources: the hardware id in ISO Latin-1 (a hardware id with characters outside
    // Latin-1 adds no bytes), the separator byte 7C, then the fields below, each further
    // field after another 7C; the numbers as 8 big-endian bytes.
    //   request counter variant: hwid | key | sequence number | request counter
    //   sequence number variant: hwid | challenge key | challenge id | challenge | sequence number
    static ByteBuffer createHashSourceFromRequestCounter(std::uint64_t requestCounter, std::uint64_t sequenceNumber,
                                                         std::span<const std::uint8_t> midChallengeRequestKey,
                                                         std::string_view uniqueHwId);
    static ByteBuffer createHashSourceFromSequenceNumber(std::uint64_t sequenceNumber,
                                                         std::span<const std::uint8_t> challengeKey,
                                                         std::span<const std::uint8_t> challengeID,
                                                         std::span<const std::uint8_t> challenge,
                                                         std::string_view uniqueHwId);

    // The Norwegian national identity number check (11 digits, DDMMYY, two check digits).
    static bool isValidFoedselNummer(std::string_view text);
    // True when the text has exactly 11 characters and its last one reads as the integer 0.
    static bool isValidFoedselNummer2(std::string_view text);
};
