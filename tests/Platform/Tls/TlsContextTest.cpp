#include "Platform/Tls/TlsContext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

#include "Platform/Tls/TestIdentity.h"

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
    std::pair<TlsStatus, TlsStatus> handshake() {
        TlsStatus s = tls::kWouldBlock, c = tls::kWouldBlock;
        for (int i = 0; i < 50 && (s == tls::kWouldBlock || c == tls::kWouldBlock); ++i) {
            if (c == tls::kWouldBlock) c = client->handshake();
            if (s == tls::kWouldBlock) s = server->handshake();
        }
        return {s, c};
    }

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

TEST_F(TlsPair, SettingsAfterTheHandshakeBeganAreRefused) {
    (void)client->handshake();
    EXPECT_EQ(client->setAllowsAnyRoot(true), tls::kBadState);
}

TEST(TlsIdentity, FromPemChecksTheKeyAgainstTheCertificate) {
    const auto& pems = testing_tls::sharedPems();
    EXPECT_TRUE(TlsIdentity::fromPem(pems.keyPem, pems.certificatePem).has_value());
    const auto other = testing_tls::makeSelfSigned();
    EXPECT_FALSE(TlsIdentity::fromPem(other.keyPem, pems.certificatePem).has_value());
    EXPECT_FALSE(TlsIdentity::fromPem("not a key", pems.certificatePem).has_value());
    EXPECT_FALSE(TlsIdentity::fromPem(pems.keyPem, "").has_value());
}

}  // namespace
