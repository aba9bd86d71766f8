#include "PlxHttp/HttpScardResponse.h"

#include <gtest/gtest.h>

#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"
#include "Platform/CardService/SimulatedCardService.h"
#include "PlxHttp/HttpScardTestSupport.h"
#include "tools/LogCapture.h"
#include "SmartCard/SmartCardManager.h"
#include "Util/CommonUtil.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::CardSlotState;
using platform::SimulatedReply;
using webapi_test::call;
using webapi_test::post;

class HttpScardResponseTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = platform::SimulatedSlotManager::create();
        readerA_ = service_->addSlot("Reader A", CardSlotState::ValidCard);
        readerB_ = service_->addSlot("Reader B", CardSlotState::Empty);
        SmartCardManager::Waits waits;
        waits.slotLookup = 500ms;
        waits.sessionBegin = 500ms;
        waits.exchange = 500ms;
        manager_ = SmartCardManager::create(service_, waits);
        SmartCardManager::setSharedManager(manager_);
    }
    void TearDown() override { SmartCardManager::setSharedManager(nullptr); }

    std::vector<std::string> sentCommands(const std::shared_ptr<platform::SimulatedSlot>& slot) {
        std::vector<std::string> sent;
        for (const auto& e : slot->log().events) {
            if (e.rfind("send ", 0) == 0) sent.push_back(e.substr(5));
        }
        return sent;
    }

    testtools::LogCapture log_;
    std::shared_ptr<platform::SimulatedSlotManager> service_;
    std::shared_ptr<platform::SimulatedSlot> readerA_, readerB_;
    std::shared_ptr<SmartCardManager> manager_;
};

const json kVersion = json({{"version", "1.4.0"}});

TEST_F(HttpScardResponseTest, PathDispatch) {
    const json list = post("/scard/list");
    ASSERT_TRUE(list.is_object());
    EXPECT_EQ(list["readers"], json::parse(R"([{"name":"Reader A","cardstatus":302},{"name":"Reader B","cardstatus":303}])"));
    EXPECT_TRUE(list["errorcode"].is_number_integer());
    EXPECT_TRUE(list["errordetail"].is_number_integer());

    struct Case { const char* path; json expected; };
    const Case cases[] = {
        {"/scard", kVersion},
        {"/scard/version", kVersion},
        {"/scard/", kVersion},
        {"/scard/x/version", kVersion},
        {"/scard/VERSION", json()},
        {"/scard/LIST", list},
        {"/scard/x/list", list},
        {"/scard/list/x", json()},
        {"/scard/unknown", json()},
        {"/scard/deletedoc/version", json()},  // the version reply, then deletedoc empties it
        {"/scard/apdu", json()},               // no reader segment: nothing to send to
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto r = call("POST", c.path);
        EXPECT_EQ(r->httpHeaders(), (std::map<std::string, std::string>{{"Content-Type", "application/json; charset=UTF-8"}}));
        EXPECT_EQ(r->status(), 200);
        if (c.expected.is_null()) EXPECT_EQ(webapi_test::bodyText(*r), "");
        else EXPECT_EQ(webapi_test::bodyJson(*r), c.expected);
    }

    // /scard/apdu/list: the reader list first, then the APDU reply for a reader named "list".
    json apdu = post("/scard/apdu/list", R"({"apducommands":[{"apdu":"00A40000"}]})");
    EXPECT_FALSE(apdu.contains("readers"));
    EXPECT_EQ(apdu["errorcode"], 200);
    EXPECT_EQ(apdu["apduresponses"], json::array());
}

TEST_F(HttpScardResponseTest, PathNotScardAndOtherMethodsAnswerEmpty) {
    for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
             {"GET", "/Scard/list"}, {"POST", "/Scard/list"}, {"HEAD", "/scard/list"}, {"PUT", "/scard/version"}}) {
        SCOPED_TRACE(method + " " + path);
        auto r = call(method, path);
        EXPECT_EQ(webapi_test::bodyText(*r), "");
        EXPECT_EQ(r->httpHeaders().at("Content-Type"), "application/json; charset=UTF-8");
    }
    EXPECT_TRUE(log_.contains("Path not supported."));
}

TEST_F(HttpScardResponseTest, GetLogsUnhandledUrlAsErrorWithContextZero) {
    auto logger = std::make_shared<logging_test::RecordingLogger>();
    LxLog::addLogger(logger);
    auto r = call("GET", "/scard/list");
    // The error is logged synchronously: it is there when the creation returns.
    auto messages = logger->messages();
    LxLog::removeLogger(logger);
    EXPECT_EQ(webapi_test::bodyText(*r), "");
    EXPECT_EQ(r->httpHeaders().at("Content-Type"), "application/json; charset=UTF-8");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(*messages[0]->logMsg, "Unhandled URL. https://localhost:31505/scard/list");
    EXPECT_EQ(messages[0]->logContext, 0);
    EXPECT_EQ(messages[0]->logFlag, LogFlagError);
}

TEST_F(HttpScardResponseTest, StatusByPercentEncodedNameAndUnknownReader) {
    // The scan left the raw state of the empty reader as the detail.
    EXPECT_EQ(post("/scard/status/Reader%20A"), json({{"errorcode", 0}, {"errordetail", 1}, {"cardstatus", 302}}));
    EXPECT_EQ(post("/scard/STATUS/Reader%20B")["cardstatus"], 303);
    // No such reader: the status of state 0 (Missing).
    EXPECT_EQ(post("/scard/status/reader%20a")["cardstatus"], 200);
}

TEST_F(HttpScardResponseTest, ApduWithThreeCommandsWhereTheSecondFails) {
    readerA_->script([](platform::SimulatedCardScript& s) {
        s.handler = [](const platform::Bytes& command) {
            if (command.size() > 1 && command[1] == 0xB0) return SimulatedReply{std::nullopt, 0x6A82, platform::Error{"Sim", 7, "failed", {}}};
            return SimulatedReply{platform::Bytes{0x6F, 0x10}, 0x9000, std::nullopt};
        };
    });
    json reply = post("/scard/apdu/Reader%20A",
                      R"({"apducommands":[{"apdu":"00A4040000"},{"apdu":"00B0000010"},{"apdu":"00CA9F7F00"}],"session":"s1","timeout":"30"})");
    EXPECT_EQ(manager_->idleTimeSeconds(), 30);
    EXPECT_EQ(sentCommands(readerA_), (std::vector<std::string>{"00A4040000", "00B0000010", "00CA9F7F00"}));
    ASSERT_EQ(reply["apduresponses"].size(), 3u);
    EXPECT_EQ(reply["apduresponses"][0], json({{"apdu", "6F109000"}}));
    EXPECT_EQ(reply["apduresponses"][1]["apdu"], "6a82");
    EXPECT_EQ(reply["apduresponses"][2]["apdu"], "6F109000");
    EXPECT_EQ(reply["errorcode"], 0);
    EXPECT_EQ(reply["errordetail"], 0);  // as the last command left it
    EXPECT_EQ(readerA_->log().begins, 1);
}

TEST_F(HttpScardResponseTest, ApduToAnEmptyReaderAndBodiesThatAreNoObject) {
    json empty = post("/scard/apdu/Reader%20B", R"({"apducommands":[{"apdu":"00A4"},{"apdu":"00B0"}]})");
    EXPECT_EQ(empty["errorcode"], 200);
    EXPECT_EQ(empty["apduresponses"], json::array());

    for (const char* body : {"[]", "not json", "5", R"({"apducommands":"00A4"})", R"({"apducommands":[1,null,{"apdu":[]}]})"}) {
        SCOPED_TRACE(body);
        json r = post("/scard/apdu/Reader%20A", body);
        EXPECT_TRUE(r["apduresponses"].is_array());
    }
    // A body that is no object sends nothing and sets an idle time of 0.
    size_t before = sentCommands(readerA_).size();
    post("/scard/apdu/Reader%20A", "[]");
    EXPECT_EQ(manager_->idleTimeSeconds(), 0);
    EXPECT_EQ(sentCommands(readerA_).size(), before);
}

TEST_F(HttpScardResponseTest, PinProtectedApduIsUnmaskedWithAKeyFromGetref) {
    json key = post("/scard/getref");
    ASSERT_TRUE(key["ref"].is_number_unsigned() || key["ref"].is_number_integer());
    ASSERT_TRUE(key["data"].is_string());
    EXPECT_EQ(key.size(), 2u);
    auto ref = key["ref"].get<uint32_t>();
    ByteBuffer k = CommonUtil::dataFromHexString(std::string_view(key["data"].get_ref<const std::string&>()));
    ASSERT_EQ(k.size(), 16u);

    // VERIFY 00 20 00 81 04 with the PIN 31 32 33 34 at offset 5, masked by the page.
    const ByteBuffer pin = {0x31, 0x32, 0x33, 0x34};
    ByteBuffer text = {0xFF, 0xFF, 0x01, 0x04, uint8_t(ref >> 24), uint8_t(ref >> 16), uint8_t(ref >> 8), uint8_t(ref), 0x05, 0x04,
                       0x00, 0x20, 0x00, 0x81, 0x04};
    for (size_t j = 0; j < pin.size(); ++j) text.push_back(pin[j] ^ k[j] ^ k[pin.size() + j]);
    std::string hex = CommonUtil::hexStringFromData(text, true);
    json reply = post("/scard/apdu/Reader%20A", json({{"apducommands", json::array({json({{"apdu", hex}})})}, {"session", "p"}}).dump());
    EXPECT_EQ(reply["apduresponses"].size(), 1u);
    EXPECT_EQ(sentCommands(readerA_), (std::vector<std::string>{"002000810431323334"}));
}

TEST_F(HttpScardResponseTest, DisconnectEndsTheSessionsOfItsId) {
    post("/scard/apdu/Reader%20A", R"({"apducommands":[{"apdu":"00A40000"}],"session":"s1"})");
    post("/scard/apdu/Reader%20A", R"({"apducommands":[{"apdu":"00A40000"}],"session":"s1"})");
    EXPECT_EQ(readerA_->log().begins, 1);
    EXPECT_EQ(readerA_->log().openSessions, 1);

    auto other = call("POST", "/scard/disconnect", R"({"session":"other"})");
    EXPECT_EQ(readerA_->log().openSessions, 1);
    auto r = call("POST", "/scard/disconnect", R"({"session":"s1"})");
    EXPECT_EQ(webapi_test::bodyText(*r), "");
    EXPECT_EQ(readerA_->log().openSessions, 0);
    EXPECT_TRUE(manager_->cardSessions().empty());
}

}  // namespace
