#include "Model/ApduKeyRef.h"

#include <gtest/gtest.h>

#include "Util/CommonUtil.h"

namespace {

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

TEST(ApduKeyRefTest, JsonFormAndTexts) {
    const ApduKeyRef key(4294967295u, hex("000102030405060708090A0B0C0D0E0F"));
    const nlohmann::json body = key.jsonDict();
    EXPECT_EQ(nlohmann::json::parse(R"({"ref": 4294967295, "data": "000102030405060708090A0B0C0D0E0F"})"), body);
    EXPECT_TRUE(body["ref"].is_number_unsigned());
    EXPECT_EQ("FFFFFFFF", key.keyInHexString());
    EXPECT_EQ("00000102", ApduKeyRef(258, {}).keyInHexString());
    EXPECT_EQ("ApduKeyRef [ref:4294967295, data:<00010203 04050607 08090a0b 0c0d0e0f>]", key.description());
}

TEST(ApduKeyRefTest, FromJsonString) {
    struct Case {
        const char* json;
        std::uint32_t ref;
        ByteBuffer data;
    };
    const Case cases[] = {
        {R"({"ref": 258, "data": "0A0B"})", 258, hex("0A0B")},
        {R"({"ref": 4294967296, "data": "0x0a, 0x0b"})", 0, hex("0A0B")},  // low 32 bits
        {R"({"ref": "258", "data": 5})", 0, {}},
        {R"({"data": "ff"})", 0, hex("FF")},
        {"not json", 0, {}},
        {"[1, 2]", 0, {}},
        {"", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const ApduKeyRef key = ApduKeyRef::fromJsonString(c.json);
        EXPECT_EQ(c.ref, key.referenceNumber());
        EXPECT_EQ(c.data, key.data());
    }
    const ApduKeyRef original(77, hex("00112233445566778899AABBCCDDEEFF"));
    const ApduKeyRef back = ApduKeyRef::fromJsonString(original.jsonDict().dump());
    EXPECT_EQ(original.referenceNumber(), back.referenceNumber());
    EXPECT_EQ(original.data(), back.data());
}

}  // namespace
