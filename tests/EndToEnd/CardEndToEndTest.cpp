// The card operations of the running program against pcscd with the vpcd driver's two
// virtual readers and the virtual test card: the reader list and states, APDU exchange in a
// card session, a PIN-protected APDU masked with a key from getref, and a card removed
// between two requests.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>

#include "EndToEnd/E2eFixture.h"
#include "tools/PcscTestEnvironment.h"
#include "tools/VirtualCard.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testcard::Bytes;
using testcard::VirtualCard;

const std::string kFirstReaderPath = "Virtual%20PCD%2000%2000";
const std::string kSecondReaderPath = "Virtual%20PCD%2000%2001";

const Bytes kSelect = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes kRead = {0x00, 0xB0, 0x00, 0x00, 0x04};

std::string hex(const Bytes& bytes) {
    std::string text;
    char digits[3];
    for (auto b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += digits;
    }
    return text;
}

Bytes unhex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// A card with one file: SELECT of the master file, then READ BINARY of four bytes, and a
// VERIFY that accepts the PIN "1234" padded with FF to eight bytes.
Bytes answer(const Bytes& command) {
    if (command == kSelect) return {0x90, 0x00};
    if (command == kRead) return {0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00};
    if (command.size() >= 4 && command[1] == 0x20) {
        const Bytes good = {0x00, 0x20, 0x00, 0x81, 0x08, '1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
        return command == good ? Bytes{0x90, 0x00} : Bytes{0x63, 0xC2};
    }
    return {0x6D, 0x00};
}

class CardTest : public PellixTest {
protected:
    void SetUp() override {
        PELLIX_REQUIRE_PCSC();
        PellixTest::SetUp();
        client = connect();
        // A card that an earlier test removed may still be listed for a moment; every test
        // starts from two empty readers.
        ASSERT_TRUE(eventually([&] {
            return listedStatus(testcard::kFirstReader) == 303 && listedStatus(testcard::kSecondReader) == 303;
        })) << call("/scard/list").dump();
    }

    json call(const std::string& target, const json& body = json::object()) {
        const HttpReply reply = client->post(target, body.dump());
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.error;
        return json::parse(reply.body, nullptr, false);
    }

    // The "cardstatus" of the reader in the list reply, or -1 when it is not listed.
    int listedStatus(const std::string& reader) {
        const json list = call("/scard/list");
        if (!list.contains("readers")) return -1;
        for (const auto& r : list["readers"]) {
            if (r.value("name", "") == reader) return r.value("cardstatus", -1);
        }
        return -1;
    }

    json apdu(const std::string& readerPath, const std::vector<std::string>& commands, const std::string& session) {
        json body = {{"apducommands", json::array()}, {"session", session}, {"timeout", 60}};
        for (const auto& c : commands) body["apducommands"].push_back({{"apdu", c}});
        return call("/scard/apdu/" + readerPath, body);
    }

    std::unique_ptr<HttpsClient> client;
};

TEST_F(CardTest, ListAndStatusShowBothVirtualReaders) {
    VirtualCard card(VirtualCard::kSecondReaderPort);
    ASSERT_TRUE(card.insert());
    EXPECT_TRUE(eventually([&] { return listedStatus(testcard::kSecondReader) == 302; }));

    const json list = call("/scard/list");
    EXPECT_EQ(list.value("errorcode", -1), 0) << list.dump();
    ASSERT_TRUE(list.contains("readers")) << list.dump();
    EXPECT_EQ(list["readers"].size(), 2u) << list.dump();
    EXPECT_EQ(listedStatus(testcard::kFirstReader), 303);

    struct Case {
        std::string path;
        int cardStatus;
    };
    const Case cases[] = {
        {"/scard/status/" + kFirstReaderPath, 303},
        {"/scard/status/" + kSecondReaderPath, 302},
        {"/scard/STATUS/" + kSecondReaderPath, 302},  // the segment is compared ignoring case
        {"/scard/status/virtual%20pcd%2000%2001", 200},  // reader names are compared exactly
        {"/scard/status/Nothing", 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const json status = call(c.path);
        EXPECT_EQ(status.value("cardstatus", -1), c.cardStatus) << status.dump();
        EXPECT_TRUE(status.contains("errorcode") && status.contains("errordetail")) << status.dump();
    }

    card.remove();
    EXPECT_TRUE(eventually([&] { return listedStatus(testcard::kSecondReader) == 303; }));
}

TEST_F(CardTest, ExchangesApdusInASession) {
    VirtualCard card(VirtualCard::kFirstReaderPort);
    card.setHandler(answer);
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(eventually([&] { return listedStatus(testcard::kFirstReader) == 302; }));

    const json reply = apdu(kFirstReaderPath, {"00A40000023F00", "00 B0 00 00 04", "00CA0000"}, "page-1");
    EXPECT_EQ(reply.value("errorcode", -1), 0) << reply.dump();
    EXPECT_EQ(reply.value("errordetail", -1), 0) << reply.dump();
    // Reply data in upper case, the status word in lower case without leading zeros.
    EXPECT_EQ(reply["apduresponses"],
              json::parse(R"([{"apdu":"9000"},{"apdu":"DEADBEEF9000"},{"apdu":"6d00"}])")) << reply.dump();
    const auto commands = card.commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[commands.size() - 3], kSelect);
    EXPECT_EQ(commands[commands.size() - 2], kRead);

    // The same session goes on; disconnect ends it; a later request starts a new one.
    EXPECT_EQ(apdu(kFirstReaderPath, {"00B0000004"}, "page-1")["apduresponses"],
              json::parse(R"([{"apdu":"DEADBEEF9000"}])"));
    const HttpReply disconnect = client->post("/scard/disconnect", json({{"session", "page-1"}}).dump());
    EXPECT_EQ(disconnect.status, 200) << disconnect.error;
    EXPECT_EQ(disconnect.body, "");
    EXPECT_EQ(apdu(kFirstReaderPath, {"00B0000004"}, "page-2")["apduresponses"],
              json::parse(R"([{"apdu":"DEADBEEF9000"}])"));

    // An unknown reader: no exchange, 200 "no card reached".
    const json unknown = apdu("Nothing", {"00B0000004"}, "page-2");
    EXPECT_EQ(unknown.value("errorcode", -1), 200) << unknown.dump();
    EXPECT_EQ(unknown["apduresponses"], json::array());
}

TEST_F(CardTest, UnmasksAPinProtectedApduWithAGetrefKey) {
    VirtualCard card(VirtualCard::kFirstReaderPort);
    card.setHandler(answer);
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(eventually([&] { return listedStatus(testcard::kFirstReader) == 302; }));

    const json ref = call("/scard/getref");
    ASSERT_TRUE(ref.contains("ref") && ref["ref"].is_number_unsigned()) << ref.dump();
    ASSERT_TRUE(ref.contains("data") && ref["data"].is_string()) << ref.dump();
    const std::string data = ref["data"];
    ASSERT_EQ(data.size(), 32u);
    EXPECT_EQ(data.find_first_not_of("0123456789ABCDEF"), std::string::npos) << data;
    EXPECT_NE(call("/scard/getref")["ref"], ref["ref"]);

    // The page masks the PIN bytes: masked[j] = pin[j] ^ key[j] ^ key[L + j].
    const Bytes key = unhex(data);
    const Bytes pin = {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
    auto masked = [&](const Bytes& clear) {
        Bytes command = {0x00, 0x20, 0x00, 0x81, 0x08};
        for (size_t j = 0; j < clear.size(); ++j) command.push_back(clear[j] ^ key[j] ^ key[clear.size() + j]);
        return command;
    };
    const uint32_t number = ref["ref"];
    const Bytes descriptor = {0x04, uint8_t(number >> 24), uint8_t(number >> 16), uint8_t(number >> 8),
                              uint8_t(number), 0x05, 0x08};
    auto protectedText = [&](const Bytes& clear) { return "FF FF 01 " + hex(descriptor) + hex(masked(clear)); };

    const json good = apdu(kFirstReaderPath, {protectedText(pin)}, "pin");
    EXPECT_EQ(good.value("errorcode", -1), 0) << good.dump();
    EXPECT_EQ(good["apduresponses"], json::parse(R"([{"apdu":"9000"}])")) << good.dump();
    ASSERT_FALSE(card.commands().empty());
    const Bytes clearVerify = {0x00, 0x20, 0x00, 0x81, 0x08, '1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(card.commands().back(), clearVerify) << "the card did not get the clear PIN";

    // A wrong PIN is unmasked too, and the card refuses it; the key is used again.
    const json wrong = apdu(kFirstReaderPath, {protectedText({'9', '9', '9', '9', 0xFF, 0xFF, 0xFF, 0xFF})}, "pin");
    EXPECT_EQ(wrong["apduresponses"], json::parse(R"([{"apdu":"63c2"}])")) << wrong.dump();
}

TEST_F(CardTest, CardRemovedBetweenTwoRequests) {
    VirtualCard card(VirtualCard::kFirstReaderPort);
    card.setHandler(answer);
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(eventually([&] { return listedStatus(testcard::kFirstReader) == 302; }));
    EXPECT_EQ(apdu(kFirstReaderPath, {"00B0000004"}, "s")["apduresponses"], json::parse(R"([{"apdu":"DEADBEEF9000"}])"));

    card.remove();
    ASSERT_TRUE(eventually([&] { return listedStatus(testcard::kFirstReader) == 303; }));
    const json list = call("/scard/list");
    EXPECT_EQ(list.value("errorcode", -1), 303) << list.dump();
    EXPECT_EQ(list.value("errordetail", -1), 1) << list.dump();

    const json gone = apdu(kFirstReaderPath, {"00B0000004"}, "s");
    EXPECT_EQ(gone.value("errorcode", -1), 200) << gone.dump();
    EXPECT_EQ(gone["apduresponses"], json::array()) << gone.dump();

    // A card put back serves a new session.
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(eventually([&] { return listedStatus(testcard::kFirstReader) == 302; }));
    const json back = apdu(kFirstReaderPath, {"00B0000004"}, "s");
    EXPECT_EQ(back.value("errorcode", -1), 0) << back.dump();
    EXPECT_EQ(back["apduresponses"], json::parse(R"([{"apdu":"DEADBEEF9000"}])")) << back.dump();
}

}  // namespace
}  // namespace e2e
