#include "Platform/Tls/TlsContext.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Keychain/Subprocess.h"
#include "Platform/Tls/TestIdentity.h"
#include "tools/TerminalPrompts.h"

namespace {

using platform::TlsContext;
using platform::TlsIdentity;
using platform::TlsProtocol;
using platform::TlsStatus;
namespace tls = platform::tls;

// One direction of an in-memory transport, with a cap on what one write call may take, so
// that "would block" and short writes happen on demand.
struct Pipe {
    std::deque<uint8_t> bytes;
    bool closed = false;
};

struct Endpoint {
    Pipe* in = nullptr;
    Pipe* out = nullptr;
    size_t writeCap = SIZE_MAX;
    size_t writeCalls = 0;
};

TlsStatus readFn(void* connection, void* data, size_t* length) {
    auto* ep = static_cast<Endpoint*>(connection);
    const size_t n = std::min(*length, ep->in->bytes.size());
    std::copy_n(ep->in->bytes.begin(), n, static_cast<uint8_t*>(data));
    ep->in->bytes.erase(ep->in->bytes.begin(), ep->in->bytes.begin() + static_cast<long>(n));
    const bool full = n == *length;
    *length = n;
    if (full) return tls::kNoErr;
    return ep->in->closed && n == 0 ? tls::kClosedAbort : tls::kWouldBlock;
}

TlsStatus writeFn(void* connection, const void* data, size_t* length) {
    auto* ep = static_cast<Endpoint*>(connection);
    ++ep->writeCalls;
    if (ep->out->closed) {
        *length = 0;
        return tls::kClosedAbort;
    }
    const size_t n = std::min(*length, ep->writeCap);
    const auto* bytes = static_cast<const uint8_t*>(data);
    ep->out->bytes.insert(ep->out->bytes.end(), bytes, bytes + n);
    const bool full = n == *length;
    *length = n;
    return full ? tls::kNoErr : tls::kWouldBlock;
}

// Steps the handshakes of two joined contexts until neither makes progress; the server's final
// status, then the client's.
std::pair<TlsStatus, TlsStatus> stepHandshakes(TlsContext& server, TlsContext& client) {
    TlsStatus s = tls::kWouldBlock, c = tls::kWouldBlock;
    for (int i = 0; i < 50 && (s == tls::kWouldBlock || c == tls::kWouldBlock); ++i) {
        if (c == tls::kWouldBlock) c = client.handshake();
        if (s == tls::kWouldBlock) s = server.handshake();
    }
    return {s, c};
}

class TlsPair : public ::testing::Test {
protected:
    void SetUp() override {
        toServer = {};
        toClient = {};
        server = TlsContext::create(TlsContext::Side::Server);
        client = TlsContext::create(TlsContext::Side::Client);
        ASSERT_TRUE(server && client);
        serverEnd = {&toServer, &toClient};
        clientEnd = {&toClient, &toServer};
        ASSERT_EQ(server->setIOFuncs(readFn, writeFn), tls::kNoErr);
        ASSERT_EQ(server->setConnection(&serverEnd), tls::kNoErr);
        ASSERT_EQ(client->setIOFuncs(readFn, writeFn), tls::kNoErr);
        ASSERT_EQ(client->setConnection(&clientEnd), tls::kNoErr);
        ASSERT_EQ(server->setCertificate(testing_tls::sharedIdentity()), tls::kNoErr);
    }

    // Steps both handshakes until neither makes progress; returns the final statuses.
    std::pair<TlsStatus, TlsStatus> handshake() { return stepHandshakes(*server, *client); }

    std::string readAll(TlsContext& ctx, size_t want) {
        std::string got;
        char buffer[4096];
        for (int i = 0; i < 10000 && got.size() < want; ++i) {
            size_t n = 0;
            const TlsStatus status = ctx.read(buffer, sizeof buffer, &n);
            got.append(buffer, n);
            if (status != tls::kNoErr && status != tls::kWouldBlock) break;
            if (status == tls::kWouldBlock) break;
        }
        return got;
    }

    Pipe toServer, toClient;
    Endpoint serverEnd, clientEnd;
    std::unique_ptr<TlsContext> server, client;
};

TEST_F(TlsPair, HandshakeThenDataBothWays) {
    ASSERT_EQ(client->setAllowsAnyRoot(true), tls::kNoErr);
    auto [s, c] = handshake();
    ASSERT_EQ(s, tls::kNoErr);
    ASSERT_EQ(c, tls::kNoErr);
    EXPECT_STREQ(server->protocolVersion(), "TLSv1.3");

    size_t n = 0;
    ASSERT_EQ(client->write("hello", 5, &n), tls::kNoErr);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(readAll(*server, 5), "hello");
    ASSERT_EQ(server->write("world!", 6, &n), tls::kNoErr);
    EXPECT_EQ(readAll(*client, 6), "world!");
    size_t buffered = 99;
    server->getBufferedReadSize(&buffered);
    EXPECT_EQ(buffered, 0u);
}

TEST_F(TlsPair, WriteThatWouldBlockIsTakenWholeAndFinishedByEmptyWrites) {
    ASSERT_EQ(client->setAllowsAnyRoot(true), tls::kNoErr);
    ASSERT_EQ(handshake(), std::make_pair(tls::kNoErr, tls::kNoErr));
    serverEnd.writeCap = 1000;  // the transport takes 1000 bytes per call
    const std::string body(32768, 'x');
    size_t n = 0;
    TlsStatus status = server->write(body.data(), body.size(), &n);
    EXPECT_EQ(status, tls::kWouldBlock);
    int pushes = 0;
    while (status == tls::kWouldBlock && pushes < 1000) {
        status = server->write(nullptr, 0, &n);
        ++pushes;
    }
    EXPECT_EQ(status, tls::kNoErr);
    EXPECT_GT(pushes, 10);
    std::string got;
    while (got.size() < body.size()) {
        const std::string part = readAll(*client, body.size());
        if (part.empty()) break;
        got += part;
    }
    EXPECT_EQ(got, body);
}

TEST_F(TlsPair, BrokenProtocolsCannotBeEnabled) {
    struct Case {
        TlsProtocol protocol;
        bool enable;
        TlsStatus expected;
    };
    constexpr Case cases[] = {
        {TlsProtocol::SSL2, true, tls::kBadParam},  {TlsProtocol::SSL3, true, tls::kBadParam},
        {TlsProtocol::TLS1, true, tls::kBadParam},  {TlsProtocol::TLS11, true, tls::kBadParam},
        {TlsProtocol::SSL2, false, tls::kNoErr},    {TlsProtocol::All, true, tls::kNoErr},
        {TlsProtocol::TLS12, true, tls::kNoErr},    {TlsProtocol::TLS13, true, tls::kNoErr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.protocol));
        EXPECT_EQ(server->setProtocolVersionEnabled(c.protocol, c.enable), c.expected);
    }
}

TEST_F(TlsPair, EverythingDisabledFailsTheHandshake) {
    ASSERT_EQ(server->setProtocolVersionEnabled(TlsProtocol::All, false), tls::kNoErr);
    ASSERT_EQ(client->setAllowsAnyRoot(true), tls::kNoErr);
    auto [s, c] = handshake();
    EXPECT_NE(s, tls::kNoErr);
    EXPECT_NE(s, tls::kWouldBlock);
    EXPECT_NE(c, tls::kNoErr);
}

TEST_F(TlsPair, TlsTwelveOnlyStillNegotiates) {
    ASSERT_EQ(server->setProtocolVersionEnabled(TlsProtocol::TLS13, false), tls::kNoErr);
    ASSERT_EQ(client->setAllowsAnyRoot(true), tls::kNoErr);
    ASSERT_EQ(handshake(), std::make_pair(tls::kNoErr, tls::kNoErr));
    EXPECT_STREQ(server->protocolVersion(), "TLSv1.2");
}

TEST_F(TlsPair, ClientVerification) {
    struct Case {
        const char* name;
        bool verify;
        bool anyRoot;
        const char* peerName;
        bool succeeds;
    };
    const Case cases[] = {
        {"self-signed refused", true, false, nullptr, false},
        {"any root accepted", true, true, nullptr, true},
        {"verification off", false, false, nullptr, true},
        {"peer name matches", true, true, "localhost", true},
        {"peer name differs", true, true, "example.org", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_EQ(client->setEnableCertVerify(c.verify), tls::kNoErr);
        ASSERT_EQ(client->setAllowsAnyRoot(c.anyRoot), tls::kNoErr);
        if (c.peerName) {
            ASSERT_EQ(client->setPeerDomainName(c.peerName, std::strlen(c.peerName)), tls::kNoErr);
        }
        auto [s, cl] = handshake();
        if (c.succeeds) {
            EXPECT_EQ(cl, tls::kNoErr);
        } else {
            EXPECT_EQ(cl, tls::kCertificateChainInvalid);
        }
    }
}

TEST_F(TlsPair, TransportClosingMidHandshakeIsClosedAbort) {
    ASSERT_EQ(client->handshake(), tls::kWouldBlock);  // ClientHello on its way
    toServer.closed = true;
    toServer.bytes.resize(10);  // the hello cut short, then the end
    TlsStatus status = tls::kWouldBlock;
    for (int i = 0; i < 5 && status == tls::kWouldBlock; ++i) status = server->handshake();
    EXPECT_EQ(status, tls::kClosedAbort);
}

TEST_F(TlsPair, PlainTextToServerFailsCleanly) {
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    toServer.bytes.assign(request.begin(), request.end());
    const TlsStatus status = server->handshake();
    EXPECT_NE(status, tls::kNoErr);
    EXPECT_NE(status, tls::kWouldBlock);
    EXPECT_EQ(server->handshake(), status);  // failure is sticky
}

TEST_F(TlsPair, GracefulCloseIsSeenByThePeer) {
    ASSERT_EQ(client->setAllowsAnyRoot(true), tls::kNoErr);
    ASSERT_EQ(handshake(), std::make_pair(tls::kNoErr, tls::kNoErr));
    ASSERT_EQ(server->close(), tls::kNoErr);
    char buffer[16];
    size_t n = 0;
    EXPECT_EQ(client->read(buffer, sizeof buffer, &n), tls::kClosedGraceful);
}

TEST_F(TlsPair, CipherSuitesByNumber) {
    // TLS_AES_128_GCM_SHA256 and a number no library knows.
    const uint16_t known[] = {0x1301, 0xFFFF};
    EXPECT_EQ(server->setEnabledCiphers(known, 2), tls::kNoErr);
    const uint16_t unknown[] = {0xFFFE};
    EXPECT_EQ(server->setEnabledCiphers(unknown, 1), tls::kBadParam);
    ASSERT_EQ(client->setAllowsAnyRoot(true), tls::kNoErr);
    EXPECT_EQ(handshake(), std::make_pair(tls::kNoErr, tls::kNoErr));
}

// One TLS server connection on a loopback port: accepts a single client and runs the engine's
// server handshake over the blocking socket, with the system's kind of identity (RSA).
class LoopbackTlsServer {
public:
    LoopbackTlsServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackTlsServer() {
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    // The server's handshake result, once the client has gone.
    TlsStatus result() {
        if (thread_.joinable()) thread_.join();
        return status_;
    }

private:
    static TlsStatus readFd(void* connection, void* data, size_t* length) {
        const ssize_t n = ::recv(*static_cast<int*>(connection), data, *length, 0);
        const size_t wanted = *length;
        *length = n > 0 ? static_cast<size_t>(n) : 0;
        if (n <= 0) return tls::kClosedAbort;
        return *length == wanted ? tls::kNoErr : tls::kWouldBlock;
    }
    static TlsStatus writeFd(void* connection, const void* data, size_t* length) {
        const ssize_t n = ::send(*static_cast<int*>(connection), data, *length, MSG_NOSIGNAL);
        if (n < 0) {
            *length = 0;
            return tls::kClosedAbort;
        }
        const bool all = static_cast<size_t>(n) == *length;
        *length = static_cast<size_t>(n);
        return all ? tls::kNoErr : tls::kWouldBlock;
    }
    void serve() {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        static const TlsIdentity identity = [] {
            const auto pems = testing_tls::makeSelfSigned("rsa");
            return *TlsIdentity::fromPem(pems.keyPem, pems.certificatePem);
        }();
        auto server = TlsContext::create(TlsContext::Side::Server);
        server->setIOFuncs(readFd, writeFd);
        server->setConnection(&fd);
        server->setCertificate(identity);
        TlsStatus status = tls::kWouldBlock;
        for (int i = 0; i < 100 && status == tls::kWouldBlock; ++i) status = server->handshake();
        status_ = status;
        if (status == tls::kNoErr) {
            char buffer[256];
            size_t n = 0;
            while (server->read(buffer, sizeof buffer, &n) == tls::kNoErr) {
            }
            server->close();
        }
        ::close(fd);
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    TlsStatus status_ = tls::kWouldBlock;
};

// The suites a client can get: on TLS 1.2 only ECDHE key exchange with AES-GCM or
// ChaCha20-Poly1305, and TLS 1.3. Static-RSA key exchange (no forward secrecy) and CBC suites
// (padding oracles such as LUCKY13) are refused. The client is the openssl tool, told to offer
// exactly one suite whatever its own security level would allow.
TEST(TlsCipherSuites, OnlyForwardSecretAeadSuitesAreServed) {
    const auto openssl = platform::Subprocess::findInPath("openssl");
    ASSERT_TRUE(openssl) << "the openssl tool is installed by scripts/install-deps";
    struct Case {
        const char* protocol;
        const char* suite;
        bool served;
    };
    constexpr Case cases[] = {
        {"-tls1_2", "AES128-SHA", false},                      // static RSA, CBC
        {"-tls1_2", "AES128-GCM-SHA256", false},               // static RSA, GCM
        {"-tls1_2", "AES256-GCM-SHA384", false},               // static RSA, GCM
        {"-tls1_2", "ECDHE-RSA-AES128-SHA", false},            // ECDHE, CBC
        {"-tls1_2", "ECDHE-RSA-AES256-SHA384", false},         // ECDHE, CBC
        {"-tls1_2", "DHE-RSA-AES128-GCM-SHA256", false},       // finite-field DHE
        {"-tls1_2", "ECDHE-RSA-AES128-GCM-SHA256", true},
        {"-tls1_2", "ECDHE-RSA-AES256-GCM-SHA384", true},
        {"-tls1_2", "ECDHE-RSA-CHACHA20-POLY1305", true},
        {"-tls1_3", "TLS_AES_128_GCM_SHA256", true},
        {"-tls1_3", "TLS_CHACHA20_POLY1305_SHA256", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.suite);
        LoopbackTlsServer server;
        ASSERT_NE(server.port(), 0);
        std::vector<std::string> command{*openssl, "s_client", "-connect", "127.0.0.1:" + std::to_string(server.port()),
                                         c.protocol};
        if (std::string(c.protocol) == "-tls1_3") {
            command.insert(command.end(), {"-ciphersuites", c.suite});
        } else {
            command.insert(command.end(), {"-cipher", std::string(c.suite) + ":@SECLEVEL=0"});
        }
        const auto client = platform::Subprocess::run(command);
        const TlsStatus status = server.result();
        if (c.served) {
            EXPECT_EQ(status, tls::kNoErr);
            EXPECT_EQ(client.exitStatus, 0) << client.output;
            EXPECT_NE(client.output.find(c.suite), std::string::npos) << client.output;
        } else {
            EXPECT_EQ(status, tls::kNegotiation);
            EXPECT_NE(client.exitStatus, 0) << client.output;
        }
    }
}

// A caller's own list cannot bring back what the engine does not offer: those numbers are
// passed over like unknown ones.
TEST_F(TlsPair, OwnCipherListsKeepToTheOfferedSuites) {
    const uint16_t staticRsaAndCbc[] = {0x002F, 0x009C, 0xC013};  // AES128-SHA, AES128-GCM-SHA256, ECDHE-RSA-AES128-SHA
    EXPECT_EQ(server->setEnabledCiphers(staticRsaAndCbc, 3), tls::kBadParam);
    const uint16_t mixed[] = {0x002F, 0xC02B, 0x1302};  // AES128-SHA, ECDHE-ECDSA-AES128-GCM-SHA256, TLS_AES_256_GCM_SHA384
    EXPECT_EQ(server->setEnabledCiphers(mixed, 3), tls::kNoErr);
}

TEST_F(TlsPair, SettingsAfterTheHandshakeBeganAreRefused) {
    (void)client->handshake();
    EXPECT_EQ(client->setAllowsAnyRoot(true), tls::kBadState);
}

// A server and a client joined by the in-memory transport; the client takes any root. Each
// test gives the server its identity and settings.
struct JoinedContexts {
    JoinedContexts() {
        if (!made()) return;
        server->setIOFuncs(readFn, writeFn);
        server->setConnection(&serverEnd);
        client->setIOFuncs(readFn, writeFn);
        client->setConnection(&clientEnd);
        client->setAllowsAnyRoot(true);
    }
    JoinedContexts(const JoinedContexts&) = delete;
    JoinedContexts& operator=(const JoinedContexts&) = delete;

    bool made() const { return server && client; }

    std::pair<TlsStatus, TlsStatus> handshake() { return stepHandshakes(*server, *client); }

    Pipe toServer, toClient;
    Endpoint serverEnd{&toServer, &toClient}, clientEnd{&toClient, &toServer};
    std::unique_ptr<TlsContext> server = TlsContext::create(TlsContext::Side::Server);
    std::unique_ptr<TlsContext> client = TlsContext::create(TlsContext::Side::Client);
};

// A server with the identity and a client that takes any root: the first failure of the
// handshake, the server's before the client's.
TlsStatus handshakeWith(const TlsIdentity& identity) {
    JoinedContexts pair;
    if (!pair.made()) return tls::kInternal;
    if (TlsStatus status = pair.server->setCertificate(identity); status != tls::kNoErr) return status;
    const auto [s, c] = pair.handshake();
    return s != tls::kNoErr ? s : c;
}

TlsIdentity identityFrom(const testing_tls::PemPair& pems) {
    auto identity = TlsIdentity::fromPem(pems.keyPem, pems.certificatePem);
    if (!identity) throw std::runtime_error("identity from PEM failed");
    return *identity;
}

// Server connections of one identity share one library context, set up with the identity's
// key and certificate when the first of them needed it; another identity gets a context of
// its own, and the two used last are kept. Each handshake still succeeds.
TEST(TlsIdentityContexts, ConnectionsOfOneIdentityShareOneContext) {
    const auto a = testing_tls::makeSelfSigned();
    const auto b = testing_tls::makeSelfSigned("rsa");
    const auto c = testing_tls::makeSelfSigned();
    struct Step {
        const char* title;
        const testing_tls::PemPair* pems;
        bool sameObjects;  // the identity object of the first step, else one read anew
        size_t built;      // contexts built by this connection
    };
    const Step steps[] = {
        {"first connection of a", &a, true, 1},
        {"a again", &a, true, 0},
        {"a read again from its files: the same key and certificate", &a, false, 0},
        {"b, a new identity", &b, false, 1},
        {"a, still kept", &a, true, 0},
        {"c, a third identity, lets b go", &c, false, 1},
        {"a, still kept", &a, false, 0},
        {"b, let go and built again", &b, false, 1},
    };
    const TlsIdentity first = identityFrom(a);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.title);
        const size_t before = TlsContext::identityContextsBuilt();
        EXPECT_EQ(handshakeWith(step.sameObjects ? first : identityFrom(*step.pems)), tls::kNoErr);
        EXPECT_EQ(TlsContext::identityContextsBuilt() - before, step.built);
    }
}

// A context let go from the cache lives on in the connections that use it.
TEST(TlsIdentityContexts, ConnectionOutlivesItsContextInTheCache) {
    const TlsIdentity kept = identityFrom(testing_tls::makeSelfSigned());
    JoinedContexts pair;
    ASSERT_TRUE(pair.made());
    ASSERT_EQ(pair.server->setCertificate(kept), tls::kNoErr);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(handshakeWith(identityFrom(testing_tls::makeSelfSigned())), tls::kNoErr);
    const auto [s, c] = pair.handshake();
    EXPECT_EQ(s, tls::kNoErr);
    EXPECT_EQ(c, tls::kNoErr);
}

// Connections of a new identity starting at once on several threads build its context once.
TEST(TlsIdentityContexts, ConcurrentConnectionsBuildOneContext) {
    const auto pems = testing_tls::makeSelfSigned();
    const size_t before = TlsContext::identityContextsBuilt();
    std::vector<std::thread> threads;
    std::atomic<int> succeeded{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) succeeded += handshakeWith(identityFrom(pems)) == tls::kNoErr;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(succeeded.load(), 20);
    EXPECT_EQ(TlsContext::identityContextsBuilt() - before, 1u);
}

// The connection's own settings stay on it when it moves to its identity's context: a server
// limited to TLS 1.2 and to a suite its (EC) key cannot serve finds no suite in common.
TEST(TlsIdentityContexts, ConnectionSettingsSurviveTheIdentityContext) {
    struct Case {
        const char* title;
        uint16_t suite;
        TlsStatus expected;
    };
    const Case cases[] = {
        {"a suite of the key", 0xC02B, tls::kNoErr},               // ECDHE-ECDSA-AES128-GCM-SHA256
        {"a suite of another kind of key", 0xC02F, tls::kNegotiation},  // ECDHE-RSA-AES128-GCM-SHA256
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        JoinedContexts pair;
        ASSERT_TRUE(pair.made());
        auto& server = pair.server;
        ASSERT_EQ(server->setEnabledCiphers(&c.suite, 1), tls::kNoErr);
        ASSERT_EQ(server->setProtocolVersionEnabled(TlsProtocol::TLS13, false), tls::kNoErr);
        ASSERT_EQ(server->setCertificate(testing_tls::sharedIdentity()), tls::kNoErr);
        EXPECT_EQ(pair.handshake().first, c.expected);
        if (c.expected == tls::kNoErr) {
            EXPECT_STREQ(server->protocolVersion(), "TLSv1.2");
        }
    }
}

TEST(TlsIdentity, FromPemChecksTheKeyAgainstTheCertificate) {
    const auto& pems = testing_tls::sharedPems();
    EXPECT_TRUE(TlsIdentity::fromPem(pems.keyPem, pems.certificatePem).has_value());
    const auto other = testing_tls::makeSelfSigned();
    EXPECT_FALSE(TlsIdentity::fromPem(other.keyPem, pems.certificatePem).has_value());
    EXPECT_FALSE(TlsIdentity::fromPem("not a key", pems.certificatePem).has_value());
    EXPECT_FALSE(TlsIdentity::fromPem(pems.keyPem, "").has_value());
}

// An encrypted key or certificate is refused without a question on the terminal (OpenSSL's
// default asks there and waits); the test's stand-in for the terminal counts questions.
TEST(TlsIdentity, EncryptedPemIsRefusedWithoutAskingForAPassPhrase) {
    const auto& pems = testing_tls::sharedPems();
    std::string encryptedKey;
    std::string encryptedCertificate;
    {
        BIO* in = BIO_new_mem_buf(pems.keyPem.data(), static_cast<int>(pems.keyPem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
        BIO* certIn = BIO_new_mem_buf(pems.certificatePem.data(), static_cast<int>(pems.certificatePem.size()));
        X509* cert = PEM_read_bio_X509(certIn, nullptr, nullptr, nullptr);
        for (std::string* out : {&encryptedKey, &encryptedCertificate}) {
            BIO* bio = BIO_new(BIO_s_mem());
            const int written =
                out == &encryptedKey
                    ? PEM_write_bio_PrivateKey(bio, key, EVP_aes_256_cbc(), nullptr, 0, nullptr, const_cast<char*>("secret"))
                    : PEM_ASN1_write_bio(reinterpret_cast<i2d_of_void*>(i2d_X509), PEM_STRING_X509, bio, cert,
                                         EVP_aes_256_cbc(), nullptr, 0, nullptr, const_cast<char*>("secret"));
            ASSERT_EQ(written, 1);
            char* data = nullptr;
            const long length = BIO_get_mem_data(bio, &data);
            out->assign(data, static_cast<size_t>(length));
            BIO_free(bio);
        }
        X509_free(cert);
        BIO_free(certIn);
        EVP_PKEY_free(key);
        BIO_free(in);
    }
    struct Case {
        const char* name;
        const std::string& keyPem;
        const std::string& certificatePem;
    };
    const Case cases[] = {{"encrypted key", encryptedKey, pems.certificatePem},
                          {"encrypted certificate", pems.keyPem, encryptedCertificate}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testtools::TerminalPrompts terminal;
        EXPECT_FALSE(TlsIdentity::fromPem(c.keyPem, c.certificatePem).has_value());
        EXPECT_EQ(terminal.count(), 0);
    }
}

}  // namespace
