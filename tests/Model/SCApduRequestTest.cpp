#include "Model/SCApduRequest.h"

#include <gtest/gtest.h>

#include "Model/SCApduModel.h"
#include "Model/detail/JsonValues.h"
#include "Platform/PlainLog.h"
#include "tools/LogCapture.h"

namespace {

TEST(SCApduRequest, Timeout) {
    struct Case { const char* body; double timeout; };
    constexpr Case cases[] = {
        {R"({})", 300},
        {R"({"timeout":45.9})", 45},
        {R"({"timeout":"20"})", 20},
        {R"({"timeout":"  -7x"})", -7},
        {R"({"timeout":"abc"})", 0},
        {R"({"timeout":0})", 0},
        {R"({"timeout":null})", 300},
        {R"({"timeout":{"a":1}})", 300},
        {R"({"timeout":[5]})", 300},
        {R"({"timeout":true})", 300},
        {R"({"timeout":1e300})", 9223372036854775807.0},
        {R"({"timeout":"99999999999999999999999"})", 9223372036854775807.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(SCApduRequest::fromJsonString(c.body).timeout, c.timeout);
    }
}

TEST(SCApduRequest, BodyThatIsNoObjectHasNoCommandsAndTimeoutZero) {
    testtools::LogCapture log;
    for (const char* body : {"[]", "5", "{{"}) {
        auto r = SCApduRequest::fromJsonString(body);
        EXPECT_TRUE(r.requestAPDUs.empty());
        EXPECT_FALSE(r.session);
        EXPECT_EQ(r.timeout, 0);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>(3, "Error processing request!"));
}

TEST(SCApduRequest, RegressionBodyNestedTooDeepIsNoJson) {
    // The request itself is three levels: the object, its "apducommands" and the command.
    auto body = [](size_t extraLevels) {
        return R"({"session":"s","apducommands":[{"apdu":"00A4","x":)" + std::string(extraLevels, '[') + "0" +
               std::string(extraLevels, ']') + "}]}";
    };
    testtools::LogCapture log;
    auto within = SCApduRequest::fromJsonString(body(scmodel::kMaxJsonDepth - 3));
    ASSERT_EQ(within.requestAPDUs.size(), 1u);
    EXPECT_EQ(within.requestAPDUs[0].apdu, "00A4");
    EXPECT_EQ(within.timeout, 300);
    EXPECT_TRUE(log.lines().empty());

    auto past = SCApduRequest::fromJsonString(body(scmodel::kMaxJsonDepth - 2));
    EXPECT_TRUE(past.requestAPDUs.empty());
    EXPECT_FALSE(past.apduCommands);
    EXPECT_FALSE(past.session);
    EXPECT_EQ(past.timeout, 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Error processing request!"});
}

TEST(SCApduRequest, CommandsInOrderWithOneModelPerElement) {
    auto r = SCApduRequest::fromJsonString(
        R"({"apducommands":[{"apdu":"00A4"},"text",{"x":1},{"apdu":5},{"apdu":"FF FF 00"}],"session":"s1"})");
    ASSERT_EQ(r.requestAPDUs.size(), 5u);
    EXPECT_EQ(r.requestAPDUs[0].apdu, "00A4");
    EXPECT_FALSE(r.requestAPDUs[1].apdu);
    EXPECT_FALSE(r.requestAPDUs[2].apdu);
    EXPECT_FALSE(r.requestAPDUs[3].apdu);
    EXPECT_EQ(r.requestAPDUs[4].apdu, "FF FF 00");
    EXPECT_EQ(r.session, "s1");
    EXPECT_EQ(r.timeout, 300);
    EXPECT_EQ(r.description(), "apducommands: (\n    00A4,\n    (null),\n    (null),\n    (null),\n    FF FF 00\n), session: s1, timeout: 300");

    for (const char* body : {R"({"apducommands":"00A4"})", R"({"apducommands":{"apdu":"00"}})", R"({"apducommands":null})"}) {
        SCOPED_TRACE(body);
        auto none = SCApduRequest::fromJsonString(body);
        EXPECT_TRUE(none.requestAPDUs.empty());
        EXPECT_FALSE(none.apduCommands);
    }
}

TEST(SCApduModel, IsPinProtectedOnlyAtTheStart) {
    struct Case { const char* text; bool pin; };
    constexpr Case cases[] = {
        {"ff ff 01", true}, {"FFFF01", true}, {"Ff fF", true}, {"FF FF", true},
        {"00 A4 FF FF", false}, {"FF 00 FF", false}, {"FF", false}, {"", false}, {" FF FF", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(SCApduModel(std::string(c.text)).isPinProtected(), c.pin);
    }
    EXPECT_FALSE(SCApduModel(std::nullopt).isPinProtected());
}

TEST(SCApduModel, FromReplyAndDictionary) {
    EXPECT_EQ(SCApduModel::fromResponseApdu(ResponseAPDU(ByteBuffer{0x6F, 0x10}, 0x9000)).jsonDict(),
              nlohmann::json({{"apdu", "6F109000"}}));
    EXPECT_EQ(SCApduModel::fromDictionary(nlohmann::json({{"apdu", "00B0"}})).apdu, "00B0");
    EXPECT_FALSE(SCApduModel::fromDictionary(nlohmann::json::array()).apdu);
}

}  // namespace
