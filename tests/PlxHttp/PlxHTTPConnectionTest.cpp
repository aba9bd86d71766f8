#include "PlxHttp/PlxHTTPConnection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

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
