#include "Model/PinDescriptor.h"

#include <gtest/gtest.h>

#include <vector>

#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"
#include "tools/LogCapture.h"

namespace {

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

TEST(PinDescriptorTest, ReadsAtAnOffset) {
    struct Case {
        const char* bytes;
        std::size_t offset;
        bool found;
        std::uint32_t ref;
        std::int32_t pinOffset, pinLength, length;
    };
    const Case cases[] = {
        {"04 01020304 05 04", 0, true, 0x01020304, 5, 4, 7},
        {"FFFF01 04 01020304 05 04 0020", 3, true, 0x01020304, 5, 4, 7},
        {"00 0A 02", 0, true, 0, 10, 2, 3},                         // n = 0: reference 0
        {"02 0102 FF FF", 0, true, 0x0102, 255, 255, 5},
        {"06 AABB01020304 05 04", 0, true, 0x01020304, 5, 4, 9},    // only the last 4 bytes count
        {"04 01020304 05", 0, false, 0, 0, 0, 0},                   // one byte short
        {"09 010203", 0, false, 0, 0, 0, 0},                        // n needs more than remains
        {"FF", 0, false, 0, 0, 0, 0},
        {"04 01020304 05 04", 7, false, 0, 0, 0, 0},                // at the end
        {"04 01020304 05 04", 100, false, 0, 0, 0, 0},              // past the end
        {"", 0, false, 0, 0, 0, 0},
    };
    testtools::LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.bytes) + " @" + std::to_string(c.offset));
        log.clear();
        const ByteBuffer bytes = hex(c.bytes);
        const std::optional<PinDescriptor> d = PinDescriptor::fromApdu(bytes, c.offset);
        const std::vector<std::string> lines = log.lines();
        ASSERT_EQ(c.found, d.has_value());
        if (d) {
            EXPECT_EQ(c.ref, d->keyReference());
            EXPECT_EQ(c.pinOffset, d->pinOffset());
            EXPECT_EQ(c.pinLength, d->pinLength());
            EXPECT_EQ(c.length, d->length());
            EXPECT_TRUE(lines.empty());
        } else {
            EXPECT_EQ(std::vector<std::string>{"Error: APDU length mismatch."}, lines);
        }
    }
}

TEST(PinDescriptorTest, Description) {
    const ByteBuffer bytes = hex("04 FFFFFFFE 05 04");
    EXPECT_EQ("RefNum: -2, offset: 5, pinLength: 4, length: 7", PinDescriptor::fromApdu(bytes, 0)->description());
}

}  // namespace
