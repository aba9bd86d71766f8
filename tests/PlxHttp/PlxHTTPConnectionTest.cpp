#include "PlxHttp/PlxHTTPConnection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Core/HTTPServer.h"
#include "Core/HTTPServerTestSupport.h"
#include "Platform/Keychain/Keychain.h"
#include "Platform/Keychain/KeychainTestHome.h"

// Failures name the outcome.
inline void PrintTo(HTTPConnection::ServerIdentity::Kind kind, std::ostream* os) {
    using Kind = HTTPConnection::ServerIdentity::Kind;
    *os << (kind == Kind::Found ? "Found" : kind == Kind::None ? "None" : "UnavailableForNow");
}

namespace {

using Kind = HTTPConnection::ServerIdentity::Kind;

// A keychain of its own (a temporary home) holding the identity that the first lookup made.
// breakFile() turns one of its files into one that opens and then fails every read with EIO,
// a link to /proc/self/mem (an address never mapped): a read error that may pass by itself,
// as the files of a process out of descriptors are.
class PlxHTTPConnectionTest : public keychain_test::TemporaryHome {
protected:
    void SetUp() override {
        TemporaryHome::SetUp();
        ASSERT_EQ(platform::Keychain::setSearchList({"login"}), platform::kKeychainSuccess);
        ASSERT_EQ(lookup().kind, Kind::Found);  // made now, on first use
        log_->clear();
    }
    HTTPConnection::ServerIdentity lookup() {
        keychain_test::StdoutCapture out(root_ + "/stdout");  // a new certificate is printed
        return HTTPConnection::create<PlxHTTPConnection>(nullptr, nullptr)->sslIdentityAndCertificates();
    }
    // The store's files, by name: KEY stands for the identity's key file.
    std::string pathOf(const std::string& file) {
        if (file != "KEY") return storeDir() + "/" + file;
        for (const auto& e : std::filesystem::directory_iterator(storeDir() + "/login.keychain")) {
            if (e.path().string().ends_with(".key.pem")) return e.path().string();
        }
        return {};
    }
    void breakFile(const std::string& path) {
        std::filesystem::rename(path, path + ".saved");
        std::filesystem::create_symlink("/proc/self/mem", path);
    }
    void mendFile(const std::string& path) {
        std::filesystem::remove(path);
        std::filesystem::rename(path + ".saved", path);
    }
};

// A keychain that cannot be read for now is not one without an identity: the lookup says "not
// now", makes no second identity, and finds the stored one once the file reads again.
TEST_F(PlxHTTPConnectionTest, KeychainThatCannotBeReadForNowGivesNoIdentityForNow) {
    const auto stored = lookup();
    ASSERT_EQ(stored.kind, Kind::Found);
    for (const std::string file : {"search-list.json", "login.keychain/items.json", "KEY"}) {
        SCOPED_TRACE(file);
        const std::string path = pathOf(file);
        ASSERT_FALSE(path.empty());
        breakFile(path);
        log_->clear();
        EXPECT_EQ(lookup().kind, Kind::UnavailableForNow);
        EXPECT_EQ(log_->count("Adding new certificate"), 0u);
        mendFile(path);
        const auto again = lookup();
        ASSERT_EQ(again.kind, Kind::Found);
        EXPECT_EQ(X509_cmp(again.identity.certificates().front().get(), stored.identity.certificates().front().get()), 0);
        EXPECT_EQ(log_->count("Adding new certificate"), 0u);
    }
}

// First use with a keychain that reads fine but cannot take the new identity: the lock of the
// keychain's change, or of the trust setting's, cannot be opened. For a reason that may pass
// (EIO: a locked pseudo-terminal in the lock's place) the lookup says "not now", keeps nothing
// of the identity it made, and once the lock opens again the next lookup makes exactly one.
// For a reason that stays (a folder in the lock's place) there is no identity at all when it
// cannot be stored, and an untrusted one that stays when only the trust setting failed.
TEST_F(PlxHTTPConnectionTest, IdentityThatCannotBeStoredForNowGivesNoIdentityForNow) {
    keychain_test::LockedTerminal terminal;
    if (terminal.slavePath().empty()) GTEST_SKIP() << "no pseudo-terminal";
    const std::string keychain = storeDir() + "/login.keychain";
    const auto lockedTerminal = [&](const std::string& lock) {
        std::filesystem::create_symlink(terminal.slavePath(), lock);
    };
    const auto folder = [](const std::string& lock) { std::filesystem::create_directory(lock); };
    struct Case {
        const char* title;
        std::string lock;
        std::function<void(const std::string&)> breakLock;
        Kind expected;
    };
    const Case cases[] = {
        {"keychain lock opens with EIO", keychain + "/.lock", lockedTerminal, Kind::UnavailableForNow},
        {"keychain lock is a folder", keychain + "/.lock", folder, Kind::None},
        {"trust lock opens with EIO", storeDir() + "/.trust-lock", lockedTerminal, Kind::UnavailableForNow},
        {"trust lock is a folder", storeDir() + "/.trust-lock", folder, Kind::Found},
    };
    const auto itemsListed = [&] {
        if (!std::filesystem::exists(keychain + "/items.json")) return size_t{0};
        return nlohmann::json::parse(keychain_test::readFile(keychain + "/items.json"))["items"].size();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        std::filesystem::remove_all(keychain);  // the identity made before
        std::filesystem::create_directories(keychain);
        std::filesystem::remove(c.lock);
        c.breakLock(c.lock);
        log_->clear();
        for (int connection = 0; connection < 2; ++connection) EXPECT_EQ(lookup().kind, c.expected);
        const bool kept = c.expected == Kind::Found;
        EXPECT_EQ(log_->count("Adding new certificate for Pellix"), kept ? 1u : 2u);
        EXPECT_EQ(itemsListed(), kept ? 1u : 0u);

        std::filesystem::remove(c.lock);
        log_->clear();
        ASSERT_EQ(lookup().kind, Kind::Found);
        ASSERT_EQ(lookup().kind, Kind::Found);
        EXPECT_EQ(log_->count("Adding new certificate for Pellix"), kept ? 0u : 1u);
        EXPECT_EQ(itemsListed(), 1u);
        size_t keys = 0;
        for (const auto& e : std::filesystem::directory_iterator(keychain)) keys += e.path().string().ends_with(".key.pem");
        EXPECT_EQ(keys, 1u);
    }
}

// Over the port: while the keychain cannot be read, a client speaking plain HTTP gets nothing
// at all, not even a refusal; once it reads again, the next connection speaks TLS.
TEST_F(PlxHTTPConnectionTest, KeychainThatCannotBeReadForNowNeverServesPlainHttp) {
    auto server = HTTPServer::create();
    server->setConnectionClass<PlxHTTPConnection>();
    server->setInterface(std::string("127.0.0.1"));
    server->setPort(0);
    platform::Error error;
    ASSERT_TRUE(server->start(&error)) << error.describe();
    const uint16_t port = server->listeningPort();

    const std::string search = pathOf("search-list.json");
    breakFile(search);
    for (int connection = 0; connection < 2; ++connection) {
        SCOPED_TRACE(connection);
        server_test::Client plain(port);
        ASSERT_TRUE(plain.connected());
        plain.send("POST /scard/version HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\n{}");
        EXPECT_TRUE(plain.closedByPeer()) << plain.buffer();
        EXPECT_EQ(plain.buffer().find("HTTP/1.1"), std::string::npos);
    }
    mendFile(search);

    server_test::Client secure(port, true);
    ASSERT_TRUE(secure.connected());
    ASSERT_TRUE(secure.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    auto reply = secure.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, PlxHTTPConnection::kRootPage);
    EXPECT_EQ(log_->count("Adding new certificate"), 0u);
    server->stop();
}

}  // namespace
