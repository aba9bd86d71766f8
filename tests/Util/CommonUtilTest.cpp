#include "Util/CommonUtil.h"

#include <gtest/gtest.h>

#include <string>

#include "Platform/Crypto/SecureRandom.h"
#include "tools/ScriptedRandom.h"

namespace {

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

using testtools::ScriptedRandom;

TEST(CommonUtilHexTest, HexStringFromData) {
    struct Case {
        std::optional<ByteBuffer> bytes;
        std::optional<std::string> plain;
        std::optional<std::string> spaced;
        std::optional<std::string> toHex;
    };
    const Case cases[] = {
        {ByteBuffer{0x0A, 0xFF}, "0AFF", "0A FF", "0AFF"},
        {ByteBuffer{0x07}, "07", "07", "07"},
        {ByteBuffer{}, "", "", std::nullopt},
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plain.value_or("(null)"));
        EXPECT_EQ(c.plain, CommonUtil::hexStringFromData(c.bytes));
        EXPECT_EQ(c.spaced, CommonUtil::hexStringFromData(c.bytes, true));
        EXPECT_EQ(c.toHex, CommonUtil::dataToHexString(c.bytes));
    }
}

TEST(CommonUtilHexTest, CleaningAndDecoding) {
    struct Case {
        std::optional<std::string> text;
        std::optional<std::string> cleaned;
        std::optional<ByteBuffer> bytes;
    };
    const Case cases[] = {
        {"0x0A, 0xff", "0Aff", ByteBuffer{0x0A, 0xFF}},
        {"ABC", "ABC", ByteBuffer{0xAB}},
        {"zz", "", ByteBuffer{}},
        {"0X1g2", "12", ByteBuffer{0x12}},
        {"", "", ByteBuffer{}},
        {"7", "7", ByteBuffer{}},
        {"00 a4\n04:00", "00a40400", ByteBuffer{0x00, 0xA4, 0x04, 0x00}},
        {"00x1", "01", ByteBuffer{0x01}},     // the "0x" inside goes first
        {"0x0x", "", ByteBuffer{}},
        {"x0x1", "1", ByteBuffer{}},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("(null)"));
        EXPECT_EQ(c.cleaned, CommonUtil::cleanNonHexCharsFromHexString(c.text));
        EXPECT_EQ(c.bytes, CommonUtil::dataFromHexString(c.text));
    }
}

TEST(CommonUtilHexTest, RoundTripEveryByte) {
    ByteBuffer all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(all, CommonUtil::dataFromHexString(std::string_view(CommonUtil::hexStringFromData(all))));
    EXPECT_EQ(all, CommonUtil::dataFromHexString(std::string_view(CommonUtil::hexStringFromData(all, true))));
    EXPECT_EQ(all, CommonUtil::unHexify(CommonUtil::hexify(all)));
    EXPECT_EQ(CommonUtil::hexStringFromData(all), CommonUtil::hexifiedString(all));
}

TEST(CommonUtilHexTest, DormantCharacterHelpers) {
    EXPECT_TRUE(CommonUtil::isValidChar('0'));
    EXPECT_TRUE(CommonUtil::isValidChar('f'));
    EXPECT_TRUE(CommonUtil::isValidChar('F'));
    EXPECT_FALSE(CommonUtil::isValidChar('g'));
    EXPECT_FALSE(CommonUtil::isValidChar('x'));
    EXPECT_EQ(10, CommonUtil::hexValue('a'));
    EXPECT_EQ(15, CommonUtil::hexValue('F'));
    EXPECT_EQ(9, CommonUtil::hexValue('9'));
    EXPECT_EQ(ByteBuffer({0xAB}), CommonUtil::unHexify(ByteBuffer{'a', 'B', 'c'}));
}

TEST(CommonUtilIntegerTest, ReadersAndWriters) {
    const ByteBuffer nine = hex("0102030405060708FF");
    EXPECT_EQ(0x0102030405060708ULL, CommonUtil::UInt64FromData(nine));
    EXPECT_EQ(0x01020304, CommonUtil::int32FromData(nine));
    EXPECT_EQ(0x01020304, CommonUtil::intFromData(nine));
    EXPECT_EQ(0x0102, CommonUtil::int16FromData(nine));
    EXPECT_EQ(0x04030201, CommonUtil::int32FromDataReverse(nine));
    EXPECT_EQ(0x0807060504030201ULL, CommonUtil::UInt64FromDataReverse(nine));
    EXPECT_EQ(-1, CommonUtil::int32FromData(hex("FFFFFFFF")));
    EXPECT_EQ(65535, CommonUtil::int16FromData(hex("FFFF")));

    EXPECT_EQ(hex("0102"), CommonUtil::dataFromInt16(0x0102));
    EXPECT_EQ(hex("01020304"), CommonUtil::dataFromInt32(0x01020304));
    EXPECT_EQ(hex("01020304"), CommonUtil::dataFromInt(0x01020304));
    EXPECT_EQ(hex("0102030405060708"), CommonUtil::dataFromInt64(0x0102030405060708ULL));
    EXPECT_EQ(hex("04030201"), CommonUtil::dataFromInt32Reverse(0x01020304));
    EXPECT_EQ(hex("0807060504030201"), CommonUtil::dataFromInt64Reverse(0x0102030405060708ULL));
}

// Short inputs are read as 0 and never past their end (ASan watches the heap copies).
TEST(CommonUtilIntegerTest, ShortInputsGiveZero) {
    for (std::size_t n = 0; n < 8; ++n) {
        SCOPED_TRACE(n);
        const ByteBuffer shortInput(n, 0xFF);
        EXPECT_EQ(0u, CommonUtil::UInt64FromData(shortInput));
        EXPECT_EQ(0u, CommonUtil::UInt64FromDataReverse(shortInput));
        if (n < 4) {
            EXPECT_EQ(0, CommonUtil::int32FromData(shortInput));
            EXPECT_EQ(0, CommonUtil::int32FromDataReverse(shortInput));
        }
        if (n < 2) {
            EXPECT_EQ(0, CommonUtil::int16FromData(shortInput));
        }
    }
}

TEST(CommonUtilRandomTest, DrawsAndFailures) {
    {
        ScriptedRandom random(hex("00000102" "0000000000000103" "AABBCC"));
        EXPECT_EQ(258u, CommonUtil::getRandomUInt32());
        EXPECT_EQ(259u, CommonUtil::getRandomUInt64());
        EXPECT_EQ(hex("AABBCC"), CommonUtil::getRandomData(3));
        EXPECT_EQ(ByteBuffer{}, CommonUtil::getRandomData(0));
        // The source is dry now: every draw fails, and a failed number is no number.
        EXPECT_FALSE(CommonUtil::getRandomData(1));
        EXPECT_FALSE(CommonUtil::getRandomUInt32());
        EXPECT_FALSE(CommonUtil::getRandomUInt64());
    }
    EXPECT_FALSE(CommonUtil::getRandomData(-1));
    const auto a = CommonUtil::getRandomData(16);
    const auto b = CommonUtil::getRandomData(16);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(16u, a->size());
    EXPECT_NE(a, b);
}

TEST(CommonUtilMiscTest, VersionAndMd5Text) {
    EXPECT_EQ("1.4.0", CommonUtil::getVersionInfoFromPlist());
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", CommonUtil::md5String(std::string("abc")));
    EXPECT_EQ(std::nullopt, CommonUtil::md5String(std::string()));
    EXPECT_EQ(std::nullopt, CommonUtil::md5String(std::nullopt));
    CommonUtil::setDefaults("key", 42);  // kept in memory, never read back; must not crash
}

TEST(CommonUtilMiscTest, HashSources) {
    EXPECT_EQ(hex("4857" "7C" "AABB" "7C" "0000000000000002" "7C" "0000000000000001"),
              CommonUtil::createHashSourceFromRequestCounter(1, 2, hex("AABB"), "HW"));
    EXPECT_EQ(hex("E6" "7C" "01" "7C" "02" "7C" "03" "7C" "0000000000000009"),
              CommonUtil::createHashSourceFromSequenceNumber(9, hex("01"), hex("02"), hex("03"), "\xC3\xA6"));
    // A hardware id that Latin-1 cannot write adds nothing.
    EXPECT_EQ(hex("7C" "7C" "7C" "7C" "0000000000000000"),
              CommonUtil::createHashSourceFromSequenceNumber(0, {}, {}, {}, "\xE2\x82\xAC"));
}

TEST(CommonUtilMiscTest, NationalIdentityNumber) {
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"01010150074", true},
        {"15057512315", true},
        {"31129949980", true},
        {"29029612410", true},   // 29 February of a year divisible by 4
        {"29029712350", false},  // check digits fine, but 1997 had no 29 February
        {"31049912350", false},  // 31 April
        {"01139912396", false},  // month 13
        {"00019912329", false},  // day 0
        {"01010150075", false},  // second check digit wrong
        {"01010150064", false},  // first check digit wrong
        {"0101015007", false},   // 10 characters
        {"010101500740", false}, // 12 characters
        {"", false},
        {"ab010150074", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.valid, CommonUtil::isValidFoedselNummer(c.text));
    }
    EXPECT_TRUE(CommonUtil::isValidFoedselNummer2("12345678900"));
    EXPECT_TRUE(CommonUtil::isValidFoedselNummer2("1234567890x"));  // "x" reads as the integer 0
    EXPECT_FALSE(CommonUtil::isValidFoedselNummer2("12345678901"));
    EXPECT_FALSE(CommonUtil::isValidFoedselNummer2("1234567890"));
}

}  // namespace
