#include "Model/SCErrorResponse.h"

#include <gtest/gtest.h>

#include "Model/SCApduResponse.h"
#include "Model/SCGetDocResponse.h"
#include "Model/SCGetRefResponse.h"
#include "Model/SCHashDocResponse.h"
#include "Model/SCReaderStatusResponse.h"
#include "Model/SCSlotsResponse.h"
#include "Model/SCStoreDocResponse.h"
#include "Model/SCVersionResponse.h"

namespace {

using nlohmann::json;

TEST(SCResponseModels, KeysAndTypes) {
    EXPECT_EQ(SCErrorResponse(201, 5).jsonDict(), json({{"errorcode", 201}, {"errordetail", 5}}));
    EXPECT_EQ(SCApduResponse({}, 0, 0).jsonDict(), json({{"errorcode", 0}, {"errordetail", 0}, {"apduresponses", json::array()}}));
    EXPECT_EQ(SCApduResponse({ResponseAPDU(std::nullopt, 0x6A82), ResponseAPDU(ByteBuffer{0xAB}, 0x90)}, 0, 7).jsonDict()["apduresponses"],
              json::parse(R"([{"apdu":"6a82"},{"apdu":"AB90"}])"));
    EXPECT_EQ(SCSlotsResponse({}, 201, 0).jsonDict()["readers"], json::array());
    EXPECT_EQ(SCReaderStatusResponse(303, 0, 1).jsonDict(), json({{"errorcode", 0}, {"errordetail", 1}, {"cardstatus", 303}}));
    EXPECT_EQ(SCVersionResponse(std::string("1.4.0")).jsonDict(), json({{"version", "1.4.0"}}));
    EXPECT_EQ(SCVersionResponse(std::string("1.4.0")).description(), "{\n    version = \"1.4.0\";\n}");
    EXPECT_EQ(SCGetRefResponse(7, ByteBuffer{0, 1, 2, 3, 4}).jsonDict(), json({{"ref", 7}, {"data", "<00010203 04>"}}));
}

TEST(SCResponseModels, ReadersWithoutNameAreSkipped) {
    auto named = std::make_shared<SCSlotModel>(std::string("Reader A"), 302);
    auto unnamed = std::make_shared<SCSlotModel>(std::nullopt, 303);
    EXPECT_EQ(SCSlotsResponse({named, unnamed, nullptr}, 0, 0).jsonDict()["readers"],
              json::parse(R"([{"name":"Reader A","cardstatus":302}])"));
}

TEST(SCResponseModels, DocumentReplies) {
    SCGetDocResponse unset;
    EXPECT_EQ(unset.jsonDict(), json({{"errorcode", 0}, {"errordetail", 0}, {"sessionref", "0"}}));

    SCGetDocResponse g(18446744073709551615ull, 0, 0);
    g.setDocumentHashData({0x0A, 0xFF});
    EXPECT_EQ(g.jsonDict()["sessionref"], "18446744073709551615");
    EXPECT_EQ(g.jsonDict()["documenthash"], "0AFF");
    g.setDocumentHashData({});
    EXPECT_FALSE(g.jsonDict().contains("documenthash"));

    SCHashDocResponse h(0, 0);
    EXPECT_EQ(h.jsonDict(), json({{"errorcode", 0}, {"errordetail", 0}}));
    h.setDocumentHashData({1});
    h.errorMessage = "m";
    EXPECT_EQ(h.jsonDict(), json({{"errorcode", 0}, {"errordetail", 0}, {"documenthash", "01"}, {"errormessage", "m"}}));

    SCStoreDocResponse s;
    s.sessionRef = 42;
    EXPECT_EQ(s.jsonDict(), json({{"errorcode", 0}, {"errordetail", 0}, {"sessionref", "42"}}));
    EXPECT_EQ(s.description(), "errorCode: 0, errroDetail: 0, sessionref: 42, errorMsg: (null)");
}

TEST(SCResponseModels, DecodingReadsRepliesBack) {
    auto e = SCErrorResponse::fromJsonString(R"({"errorcode":"300","errordetail":2.5})");
    EXPECT_EQ(e.errorCode, 300);
    EXPECT_EQ(e.errorDetail, 2);
    struct Case { const char* ref; uint64_t value; };
    constexpr Case refs[] = {{"0x10", 16}, {"010", 8}, {"12abc", 12}, {"", 0}};
    for (const auto& c : refs) {
        SCOPED_TRACE(c.ref);
        auto g = SCGetDocResponse::fromJsonString(std::string(R"({"sessionref":")") + c.ref + R"(","documenthash":"AB","errormessage":"x"})");
        EXPECT_EQ(g.sessionRef, c.value);
        EXPECT_EQ(g.documentHash, "AB");
        EXPECT_EQ(g.errorMessage, "x");
    }
    auto a = SCApduResponse::fromJsonString(R"({"apduresponses":[{"apdu":"6F109000"},{"apdu":"90"}]})");
    ASSERT_EQ(a.apduResponses.size(), 2u);
    EXPECT_EQ(a.apduResponses[0].status(), 0x9000);
    EXPECT_EQ(SCVersionResponse::fromJsonString(R"({"version":"2"})").version, "2");
    EXPECT_EQ(SCSlotsResponse::fromJsonString(R"({"readers":[1]})").readers, json::parse("[1]"));
    auto bad = SCHashDocResponse::fromJsonString("[]");
    EXPECT_EQ(bad.errorCode, 0);
    EXPECT_FALSE(bad.documentHash);
}

}  // namespace
