#include "SmartCard/ResponseAPDU.h"

#include <gtest/gtest.h>

#include "Util/CommonUtil.h"

namespace {

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

TEST(ResponseAPDUTest, ReplyText) {
    struct Case {
        std::optional<ByteBuffer> data;
        std::uint16_t status;
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {hex("6F10"), 0x9000, "6F109000", "6F109000"},
        {std::nullopt, 0x6A82, "6a82", "6A82"},
        {std::nullopt, 0x0090, "90", "0090"},
        {std::nullopt, 0, "0", "0000"},
        {std::nullopt, 0x6100, "6100", "6100"},
        {std::nullopt, 0x0001, "1", "0001"},
        {ByteBuffer{}, 0x9000, "9000", "9000"},  // empty data is left out as nil is
        {hex("0aff"), 0x6cff, "0AFF6cff", "0AFF6CFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ResponseAPDU r(c.data, c.status);
        EXPECT_EQ(c.text, r.hexStringWithStatusCode());
        EXPECT_EQ(hex(c.bytes), r.dataWithStatusCode());
    }
}

TEST(ResponseAPDUTest, FromDictionary) {
    struct Case {
        nlohmann::json dictionary;
        std::uint16_t status;
        std::optional<ByteBuffer> data;
    };
    const Case cases[] = {
        {{{"apdu", "6F109000"}}, 0x9000, hex("6F10")},
        {{{"apdu", "01 9000"}}, 0x9000, hex("01")},
        {{{"apdu", "9000"}}, 0x9000, std::nullopt},
        {{{"apdu", "6a82"}}, 0x6A82, std::nullopt},
        {{{"apdu", "90"}}, 0, std::nullopt},
        {{{"apdu", ""}}, 0, std::nullopt},
        {{{"apdu", 9000}}, 0, std::nullopt},
        {{{"other", "9000"}}, 0, std::nullopt},
        {nlohmann::json::array({"9000"}), 0, std::nullopt},
        {nlohmann::json(), 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dictionary.dump());
        const ResponseAPDU r = ResponseAPDU::fromDictionary(c.dictionary);
        EXPECT_EQ(c.status, r.status());
        EXPECT_EQ(c.data, r.replyData());
    }
}

TEST(ResponseAPDUTest, Description) {
    EXPECT_EQ("[ResponseAPDU] status: 9000, data: <6f10>", ResponseAPDU(hex("6F10"), 0x9000).description());
    EXPECT_EQ("[ResponseAPDU] status: 6a82, data: (null)", ResponseAPDU(std::nullopt, 0x6A82).description());
}

}  // namespace
