#include "SmartCard/CommandAPDU.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Platform/PlainLog.h"
#include "tools/LogCapture.h"
#include "Util/CommonUtil.h"

namespace {

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

using testtools::LogCapture;

const char* const kLcLine = "Data length must be equal to lc";
const char* const kHeaderLine = "APDU header must be 4 bytes";

TEST(CommandAPDUTest, Cases) {
    struct Case {
        std::optional<std::string> text;
        std::int64_t classType;
        std::string header;  // CLA INS P1 P2
        std::uint8_t lc;
        std::optional<ByteBuffer> data;
        std::optional<std::uint8_t> le;
        std::string bytes;  // getData
        const char* log;    // the one line logged, or nullptr
    };
    const Case cases[] = {
        {"00 a4 04 00 07 01 02 03 04 05 06 07 00", 4, "00A40400", 7, hex("01020304050607"), 0, "00A40400070102030405060700", nullptr},
        {"0x00,0xB0,0x00,0x00,0x10", 2, "00B00000", 0, std::nullopt, 16, "00B0000010", nullptr},
        {"00B0000005 01", 1, "00B00000", 0, std::nullopt, std::nullopt, "00B00000", kLcLine},
        {"80CA9F7F00", 2, "80CA9F7F", 0, std::nullopt, 0, "80CA9F7F00", nullptr},
        {"80CA9F7F", 1, "80CA9F7F", 0, std::nullopt, std::nullopt, "80CA9F7F", nullptr},
        {"00A4040000", 2, "00A40400", 0, std::nullopt, 0, "00A4040000", nullptr},
        {"00A40400001", 3, "00A40400", 0, ByteBuffer{}, std::nullopt, "00A4040000", nullptr},   // b = 0, 11 digits
        {"00A404000012", 4, "00A40400", 0, ByteBuffer{}, 0x12, "00A404000012", nullptr},        // b = 0, 12 digits
        {"00A4040002AABB", 3, "00A40400", 2, hex("AABB"), std::nullopt, "00A4040002AABB", nullptr},
        {"00A4040002AABBC", 3, "00A40400", 2, hex("AABB"), std::nullopt, "00A4040002AABB", nullptr},  // odd digit ignored
        {"00A4040002AABBFF99", 4, "00A40400", 2, hex("AABB"), 0xFF, "00A4040002AABBFF", nullptr},     // extra digits ignored
        {"00A40400FF", 2, "00A40400", 0, std::nullopt, 0xFF, "00A40400FF", nullptr},
        {"00A40400FFAA", 1, "00A40400", 0, std::nullopt, std::nullopt, "00A40400", kLcLine},
        {"00A404000", 1, "00A40400", 0, std::nullopt, std::nullopt, "00A40400", nullptr},  // 9 digits
        {std::nullopt, 0, "00000000", 0, std::nullopt, std::nullopt, "00000000", nullptr},
        {"", 0, "00000000", 0, std::nullopt, std::nullopt, "00000000", kHeaderLine},
        {"00A404", 0, "00000000", 0, std::nullopt, std::nullopt, "00000000", kHeaderLine},
        {"00A4040", 0, "00000000", 0, std::nullopt, std::nullopt, "00000000", kHeaderLine},
        {"not hex at all", 0, "00000000", 0, std::nullopt, std::nullopt, "00000000", kHeaderLine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("(null)"));
        LogCapture log;
        const CommandAPDU apdu(c.text);
        const ByteBuffer header = hex(c.header);
        EXPECT_EQ(c.classType, apdu.classType());
        EXPECT_EQ(header[0], apdu.cla());
        EXPECT_EQ(header[1], apdu.ins());
        EXPECT_EQ(header[2], apdu.p1());
        EXPECT_EQ(header[3], apdu.p2());
        EXPECT_EQ(c.lc, apdu.lc());
        EXPECT_EQ(c.data, apdu.commandData());
        EXPECT_EQ(c.le, apdu.le());
        EXPECT_EQ(hex(c.bytes), apdu.getData());
        std::vector<std::string> expected;
        if (c.log) expected.push_back(c.log);
        EXPECT_EQ(expected, log.lines());
    }
}

TEST(CommandAPDUTest, ParseAgainResetsEveryField) {
    CommandAPDU apdu(std::string("00A4040002AABB00"));
    ASSERT_EQ(4, apdu.classType());
    apdu.parseString(std::string("80CA9F7F"));
    EXPECT_EQ(1, apdu.classType());
    EXPECT_EQ(0, apdu.lc());
    EXPECT_FALSE(apdu.le());
    EXPECT_FALSE(apdu.commandData());
    apdu.parseString(std::nullopt);
    EXPECT_EQ(0, apdu.classType());
    EXPECT_EQ(0, apdu.cla());
}

TEST(CommandAPDUTest, Description) {
    EXPECT_EQ("[CommandAPDU] CLA:0, INS:a4, P1:4, P2:0, Data:<01020304 050607>, Le:0",
              CommandAPDU(std::string("00A4040007010203040506070" "0")).description());
    EXPECT_EQ("[CommandAPDU] CLA:80, INS:ca, P1:9f, P2:7f, Data:(null), Le:(null)",
              CommandAPDU(std::string("80CA9F7F")).description());
}

}  // namespace
