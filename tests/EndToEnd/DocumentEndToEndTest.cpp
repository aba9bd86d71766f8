// The document operations of the running program over HTTPS: storedoc, loaddoc, hashdoc and
// deletedoc, with the encrypted file in pellix's temporary directory.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>

#include "EndToEnd/E2eFixture.h"

namespace e2e {
namespace {

using nlohmann::json;

class DocumentTest : public PellixTest {
protected:
    void SetUp() override {
        PellixTest::SetUp();
        client = connect();
    }
    json call(const std::string& target, const json& body) {
        const HttpReply reply = client->post(target, body.dump());
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.error;
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or(""), kAllowedOrigin);
        return json::parse(reply.body, nullptr, false);
    }
    std::string storedFile(const std::string& ref) const { return pellix().tmpDir() + "/" + ref; }

    std::unique_ptr<HttpsClient> client;
};

TEST_F(DocumentTest, StoreLoadHashDelete) {
    const json stored = call("/scard/storedoc", {{"document", "0A0B0C"}, {"contenttype", "application/pdf"}});
    EXPECT_EQ(stored.value("errorcode", -1), 0) << stored.dump();
    const std::string ref = stored.value("sessionref", "");
    ASSERT_FALSE(ref.empty()) << stored.dump();
    ASSERT_EQ(ref.find_first_not_of("0123456789"), std::string::npos) << ref;

    // On disk: one AES block, not the document.
    ASSERT_TRUE(std::filesystem::exists(storedFile(ref))) << storedFile(ref);
    const std::string onDisk = readFile(storedFile(ref));
    EXPECT_EQ(onDisk.size(), 16u);
    EXPECT_EQ(onDisk.find("\x0A\x0B\x0C"), std::string::npos);

    // loaddoc needs no Origin.
    const HttpReply loaded = connect()->get("/scard/loaddoc?sessionref=" + ref);
    ASSERT_EQ(loaded.status, 200) << loaded.error;
    EXPECT_EQ(loaded.body, std::string("\x0A\x0B\x0C"));
    EXPECT_EQ(loaded.header("Content-Type").value_or(""), "application/pdf");
    EXPECT_FALSE(loaded.header("Access-Control-Allow-Origin").has_value());

    struct Query {
        std::string query;
        bool finds;
    };
    const Query queries[] = {
        {"sessionref=1&sessionref=" + ref, true},  // a later pair replaces an earlier one
        {"sessionref=" + ref + "&sessionref=1", false},
        {"sessionref=%3" + ref, false},  // the first digit percent-encoded: not decoded
        {"x=1&sessionref=" + ref + "&y", true},
        {"sessionref=" + ref + "=", false},  // two "=": the pair is ignored
        {"SESSIONREF=" + ref, false},        // the key is literal
    };
    for (const auto& q : queries) {
        SCOPED_TRACE(q.query);
        const HttpReply r = client->get("/scard/loaddoc?" + q.query);
        EXPECT_EQ(r.status, 200) << r.error;
        EXPECT_EQ(r.body, q.finds ? std::string("\x0A\x0B\x0C") : std::string());
    }
    // POST and HEAD read it back too.
    const HttpReply post = client->post("/scard/loaddoc?sessionref=" + ref, "", std::nullopt);
    EXPECT_EQ(post.status, 200) << post.error;
    EXPECT_EQ(post.body, std::string("\x0A\x0B\x0C"));

    // SHA-256 of 0A 0B 0C, in upper-case hexadecimal.
    const json hash = call("/scard/hashdoc", {{"sessionref", ref}, {"hashalg", "SHA256"}});
    EXPECT_EQ(hash.value("errorcode", -1), 0) << hash.dump();
    EXPECT_EQ(hash.value("documenthash", ""), "9909EC831E2CF6D0C73FB5480F31945A80987A13FAEE005704166CB53A26CECA")
        << hash.dump();

    // Deleting removes the file; a second delete answers the same.
    for (int i = 0; i < 2; ++i) {
        const HttpReply deleted = client->post("/scard/deletedoc", json({{"sessionref", ref}}).dump());
        EXPECT_EQ(deleted.status, 200) << deleted.error;
        EXPECT_EQ(deleted.body, "");
        EXPECT_FALSE(std::filesystem::exists(storedFile(ref)));
    }
    const HttpReply after = client->get("/scard/loaddoc?sessionref=" + ref);
    EXPECT_EQ(after.status, 200) << after.error;
    EXPECT_EQ(after.body, "");
    const json noFile = call("/scard/hashdoc", {{"sessionref", ref}, {"hashalg", "SHA256"}});
    EXPECT_EQ(noFile.value("errorcode", -1), 502) << noFile.dump();
    EXPECT_EQ(noFile.value("errormessage", ""), "Failed to compute document hash. ");
}

TEST_F(DocumentTest, ReferencesThatAreNotDecimalNameNoFile) {
    // A file that a reference made of other characters could name must stay out of reach.
    ASSERT_TRUE(writeFile(pellix().tmpDir() + "/secret", "not a document"));
    for (const std::string ref : {"secret", "../tmp/secret", "%2e%2e%2fsecret", ""}) {
        SCOPED_TRACE(ref);
        const json hash = call("/scard/hashdoc", {{"sessionref", ref}, {"hashalg", "SHA1"}});
        EXPECT_EQ(hash.value("errorcode", -1), 502) << hash.dump();
        const HttpReply load = client->get("/scard/loaddoc?sessionref=" + ref);
        EXPECT_EQ(load.status, 200) << load.error;
        EXPECT_EQ(load.body, "");
        EXPECT_EQ(client->post("/scard/deletedoc", json({{"sessionref", ref}}).dump()).body, "");
    }
    EXPECT_TRUE(std::filesystem::exists(pellix().tmpDir() + "/secret"));
}

TEST_F(DocumentTest, ALargeDocumentComesBackWhole) {
    // 768 KiB: the request body and the reply span many TLS records and socket writes.
    std::string document(768 * 1024, '\0');
    for (size_t i = 0; i < document.size(); ++i) document[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    text.reserve(document.size() * 2);
    for (unsigned char b : document) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    const json stored = call("/scard/storedoc", {{"document", text}, {"contenttype", "application/octet-stream"}});
    const std::string ref = stored.value("sessionref", "");
    ASSERT_FALSE(ref.empty()) << stored.dump();
    const HttpReply loaded = client->get("/scard/loaddoc?sessionref=" + ref);
    ASSERT_EQ(loaded.status, 200) << loaded.error;
    EXPECT_EQ(loaded.body.size(), document.size());
    EXPECT_TRUE(loaded.body == document) << "the document came back changed";
    EXPECT_EQ(loaded.header("Content-Length").value_or(""), std::to_string(document.size()));
}

TEST_F(DocumentTest, StoredocWithoutContentTypeSendsNone) {
    const json stored = call("/scard/storedoc", {{"document", "0x48 0x69"}});
    const std::string ref = stored.value("sessionref", "");
    ASSERT_FALSE(ref.empty()) << stored.dump();
    const HttpReply loaded = client->get("/scard/loaddoc?sessionref=" + ref);
    EXPECT_EQ(loaded.body, "Hi");
    EXPECT_FALSE(loaded.header("Content-Type").has_value());
}

}  // namespace
}  // namespace e2e
