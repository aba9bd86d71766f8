#include "Model/SCJsonRequest.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "Model/SCDeleteDocRequest.h"
#include "Model/SCDisconnectRequest.h"
#include "Model/SCGetDocRequest.h"
#include "Model/SCHashDocRequest.h"
#include "Model/SCStoreDocRequest.h"
#include "Platform/PlainLog.h"
#include "tools/LogCapture.h"

namespace {

using testtools::LogCapture;

TEST(SCJsonRequest, BodiesThatAreNoObjectLeaveEveryFieldEmpty) {
    for (const char* body : {"[]", "5", "not json", "{\"url\": ", "\"text\""}) {
        SCOPED_TRACE(body);
        LogCapture log;
        auto r = SCGetDocRequest::fromJsonString(body);
        EXPECT_FALSE(r.url);
        EXPECT_FALSE(r.cookie);
        EXPECT_EQ(log.lines(), std::vector<std::string>{"Error processing request!"});
    }
    LogCapture log;
    auto empty = SCHashDocRequest(std::span<const uint8_t>());
    EXPECT_FALSE(empty.sessionRef);
    EXPECT_TRUE(log.lines().empty());
}

TEST(SCJsonRequest, KeysAreCopiedAndWrongTypesCountAsAbsent) {
    auto g = SCGetDocRequest::fromJsonString(
        R"({"url":"http://h/x","cookie":"c=1","key":"00FF","keyalg":"AES","hashalg":"sha1","other":1})");
    EXPECT_EQ(g.url, "http://h/x");
    EXPECT_EQ(g.cookie, "c=1");
    EXPECT_EQ(g.key, "00FF");
    EXPECT_EQ(g.keyAlgorithm, "AES");
    EXPECT_EQ(g.hashAlgorithm, "sha1");
    EXPECT_EQ(g.hashAlgorithms, (std::vector<std::string>{"SHA1", "SHA2", "SHA256", "SHA384", "SHA512"}));

    auto wrong = SCGetDocRequest::fromJsonString(R"({"url":5,"cookie":null,"key":{},"keyalg":["AES"],"hashalg":true})");
    EXPECT_FALSE(wrong.url);
    EXPECT_FALSE(wrong.cookie);
    EXPECT_FALSE(wrong.key);
    EXPECT_FALSE(wrong.keyAlgorithm);
    EXPECT_FALSE(wrong.hashAlgorithm);

    auto s = SCStoreDocRequest::fromJsonString(R"({"document":"0A 0b0C","contenttype":"text/plain"})");
    EXPECT_EQ(s.getDocumentData(), (ByteBuffer{0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(s.contentType, "text/plain");
    EXPECT_EQ(s.description(), "contentType: text/plain, documentLenght: 7");
    EXPECT_FALSE(SCStoreDocRequest::fromJsonString("{}").getDocumentData());

    auto h = SCHashDocRequest::fromJsonString(R"({"sessionref":"12","hashalg":"SHA512"})");
    EXPECT_EQ(h.description(), "sessionref: 12, hashalg: SHA512");
    EXPECT_EQ(SCDeleteDocRequest::fromJsonString(R"({"sessionref":12})").description(), "sessionref: (null)");
    EXPECT_EQ(SCDisconnectRequest::fromJsonString(R"({"session":"abc"})").session, "abc");
}

TEST(SCGetDocRequest, CheckParameters) {
    struct Case {
        const char* body;
        const char* message;  // nullptr: the request goes on
    };
    constexpr Case cases[] = {
        {R"({})", "Missing document URL"},
        {R"({"key":"00","keyalg":"DES","hashalg":"MD5"})", "Missing document URL"},
        {R"({"url":"u","key":"00"})", "Missing key algorithm parameter"},
        {R"({"url":"u","key":"00","keyalg":"DES"})", "Invalid key algorithm parameter"},
        {R"({"url":"u","keyalg":"DES"})", nullptr},
        {R"({"url":"u","key":"00","keyalg":"3des"})", nullptr},
        {R"({"url":"u","key":"00","keyalg":"aes"})", nullptr},
        {R"({"url":"u","hashalg":"sha256"})", nullptr},
        {R"({"url":"u","hashalg":"Sha2"})", nullptr},
        {R"({"url":"u","hashalg":"MD5"})", "Invalid hash algorithm parameter"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto request = SCGetDocRequest::fromJsonString(c.body);
        auto refusal = request.checkParameters();
        if (!c.message) {
            EXPECT_FALSE(refusal);
            continue;
        }
        ASSERT_TRUE(refusal);
        auto json = refusal->jsonDict();
        EXPECT_EQ(json["errorcode"], 500);
        EXPECT_EQ(json["errordetail"], 0);
        EXPECT_EQ(json["sessionref"], "0");
        EXPECT_EQ(json["errormessage"], c.message);
        EXPECT_FALSE(json.contains("documenthash"));
    }
}

TEST(SCGetDocRequest, InvalidHashAlgorithmIsLoggedAndCleared) {
    LogCapture log;
    auto request = SCGetDocRequest::fromJsonString(R"({"url":"u","hashalg":"MD5"})");
    ASSERT_TRUE(request.checkParameters());
    EXPECT_FALSE(request.hashAlgorithm);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Not a valid hash algorithm MD5, will be set to nil."});
}

}  // namespace
