#include "AsyncSocket/AsyncSocket.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <thread>

#include "AsyncSocket/SendFault.h"
#include "AsyncSocket/SocketTestSupport.h"
#include "AsyncSocket/TlsTestSettings.h"

namespace {

using namespace socket_test;
namespace tls = platform::tls;

const ByteBuffer kCRLF = AsyncSocket::CRLFData();

// A blocking OpenSSL client on a connected descriptor (verification off: the test
// certificate is self-signed).
class TlsClient {
public:
    explicit TlsClient(int fd) {
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd);
    }
    ~TlsClient() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
        ERR_clear_error();
    }
    bool connect() { return SSL_connect(ssl_) == 1; }
    bool write(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            size_t n = 0;
            if (SSL_write_ex(ssl_, text.data() + done, text.size() - done, &n) != 1) return false;
            done += n;
        }
        return true;
    }
    std::string read(size_t want) {
        std::string got;
        std::vector<char> buffer(1 << 16);
        while (got.size() < want) {
            size_t n = 0;
            if (SSL_read_ex(ssl_, buffer.data(), std::min(buffer.size(), want - got.size()), &n) != 1) break;
            got.append(buffer.data(), n);
        }
        return got;
    }
    void shutdown() { SSL_shutdown(ssl_); }

private:
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

class AsyncSocketTls : public AcceptedSocketTest {};

TEST_F(AsyncSocketTls, HandshakeThenPlaintextThroughTheEngines) {
    sock->startTLS(serverSettings());
    sock->readDataToData(kCRLF, -1, 1);
    std::string reply;
    bool connected = false;
    std::thread peer([&] {
        TlsClient tlsClient(client);
        connected = tlsClient.connect() && tlsClient.write("hello\r\n");
        reply = tlsClient.read(5);
    });
    ASSERT_TRUE(f.delegate->waitFor(Call::DidSecure, sock));
    EXPECT_TRUE(sock->isSecure());
    auto line = read(1);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->data, "hello\r\n");
    sock->writeData(ByteBuffer{'w', 'o', 'r', 'l', 'd'}, -1, 2);
    peer.join();
    EXPECT_TRUE(connected);
    EXPECT_EQ(reply, "world");
    EXPECT_TRUE(f.delegate->waitFor(Call::DidWriteData, sock, 2));
}

TEST_F(AsyncSocketTls, RequestsBeforeTheUpgradeFinishInPlaintext) {
    sock->writeData(ByteBuffer{'p', 'l', 'a', 'i', 'n', '\r', '\n'}, -1, 1);
    sock->readDataToData(kCRLF, -1, 2);
    sock->startTLS(serverSettings());
    sock->startTLS(serverSettings());  // a second upgrade is dropped
    sock->readDataToData(kCRLF, -1, 3);
    std::string greeting;
    bool connected = false;
    std::thread peer([&] {
        greeting = recvN(client, 7);
        sendAll(client, "clear\r\n");
        TlsClient tlsClient(client);
        connected = tlsClient.connect() && tlsClient.write("secret\r\n");
        (void)tlsClient.read(1);  // wait for the server to close
    });
    auto clear = read(2);
    ASSERT_TRUE(clear);
    EXPECT_EQ(clear->data, "clear\r\n");
    auto secret = read(3);
    ASSERT_TRUE(secret);
    EXPECT_EQ(secret->data, "secret\r\n");
    sock->disconnect();
    peer.join();
    EXPECT_EQ(greeting, "plain\r\n");
    EXPECT_TRUE(connected);
    EXPECT_EQ(f.delegate->count(Call::DidSecure, sock), 1u);
}

TEST_F(AsyncSocketTls, LargeTransferBothWays) {
    const size_t size = 16u << 20;
    std::string upload(size, '\0');
    for (size_t i = 0; i < size; ++i) upload[i] = static_cast<char>(i * 7 + 3);
    sock->startTLS(serverSettings());
    sock->readDataToLength(size, -1, 1);
    std::string download;
    std::thread peer([&] {
        TlsClient tlsClient(client);
        if (tlsClient.connect() && tlsClient.write(upload)) download = tlsClient.read(size);
    });
    auto event = read(1);
    if (!event) {
        sock->disconnect();  // lets the peer thread end before the test fails
        peer.join();
        FAIL() << "the upload did not arrive";
    }
    EXPECT_EQ(event->length, size);
    EXPECT_TRUE(event->data == upload);
    std::string reversed(upload.rbegin(), upload.rend());
    sock->writeData(ByteBuffer(reversed.begin(), reversed.end()), -1, 2);
    peer.join();
    EXPECT_TRUE(download == reversed);
    EXPECT_TRUE(f.delegate->waitFor(Call::DidWriteData, sock, 2));
}

TEST_F(AsyncSocketTls, WriteThatFailsAfterProgressReportsTheProgressBeforeTheClose) {
    sock->startTLS(serverSettings());
    std::thread peer([&] {
        TlsClient tlsClient(client);
        if (tlsClient.connect()) (void)tlsClient.read(100000);
    });
    ASSERT_TRUE(f.delegate->waitFor(Call::DidSecure, sock));
    int fd = -1;
    sock->performBlock([&] {
        fd = sock->socketFD();
        // Room for the first piece at once, so that it goes out whole.
        int size = 1 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    });
    // The connection breaks once the first 32768-byte piece (and its record overhead) is out.
    socket_test::failSendsAfter(fd, 40000, ECONNRESET);
    sock->writeData(ByteBuffer(100000, 'x'), -1, 7);
    auto event = disconnected();
    socket_test::clearSendFault();
    peer.join();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, AsyncSocketSSLErrorDomain);
    EXPECT_EQ(event->error->code, tls::kClosedAbort);
    std::vector<std::pair<Call, uint64_t>> calls;
    for (const Event& e : f.delegate->events()) {
        if (e.sock == sock && (e.call == Call::DidWritePartialData || e.call == Call::DidWriteData || e.call == Call::DidDisconnect)) {
            calls.emplace_back(e.call, e.call == Call::DidWritePartialData ? e.length : 0);
        }
    }
    EXPECT_EQ(calls, (std::vector<std::pair<Call, uint64_t>>{{Call::DidWritePartialData, 32768}, {Call::DidDisconnect, 0}}));
}

TEST_F(AsyncSocketTls, PeerClosingMidHandshakeGivesClosedAbort) {
    sock->startTLS(serverSettings());
    sock->readData(-1, 1);
    // The first bytes of a ClientHello record, then the end.
    ASSERT_TRUE(sendAll(client, std::string("\x16\x03\x01\x02\x00", 5)));
    ::shutdown(client, SHUT_WR);
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, AsyncSocketSSLErrorDomain);
    EXPECT_EQ(event->error->code, tls::kClosedAbort);
}

TEST_F(AsyncSocketTls, PlainHttpClientFailsCleanly) {
    sock->startTLS(serverSettings());
    sock->readDataToData(kCRLF, -1, 1);
    ASSERT_TRUE(sendAll(client, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, AsyncSocketSSLErrorDomain);
    EXPECT_NE(event->error->code, tls::kNoErr);
    EXPECT_NE(event->error->code, tls::kWouldBlock);
    EXPECT_EQ(f.delegate->count(Call::DidReadData, sock), 0u);
}

TEST_F(AsyncSocketTls, SilentClientTimesOutTheHandshake) {
    TlsSettings settings = serverSettings();
    settings.handshakeTimeout = 0.05;
    sock->startTLS(settings);
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, AsyncSocketErrorDomain);
    EXPECT_EQ(event->error->code, AsyncSocketReadTimeoutError);
}

// Accepted connections of one identity share one library context, a new identity gets one of
// its own, and every handshake over the loopback sockets still ends with the data through.
TEST_F(AsyncSocketTls, ConnectionsOfOneIdentityShareOneContext) {
    const auto first = testing_tls::makeSelfSigned("rsa");
    const auto second = testing_tls::makeSelfSigned();
    struct Step {
        const char* title;
        const testing_tls::PemPair* pems;  // read anew for every connection
        size_t built;
    };
    const Step steps[] = {
        {"first identity", &first, 1},
        {"first identity again", &first, 0},
        {"second identity", &second, 1},
        {"first identity, still kept", &first, 0},
        {"second identity again", &second, 0},
    };
    sock->disconnect();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.title);
        const size_t before = platform::TlsContext::identityContextsBuilt();
        int fd = -1;
        auto accepted = f.accept(&fd);
        ASSERT_TRUE(accepted);
        TlsSettings settings = serverSettings();
        auto identity = platform::TlsIdentity::fromPem(step.pems->keyPem, step.pems->certificatePem);
        ASSERT_TRUE(identity);
        settings.certificates = *identity;
        accepted->startTLS(settings);
        accepted->readDataToData(kCRLF, -1, 2);
        std::string reply;
        std::thread peer([&] {
            TlsClient tlsClient(fd);
            if (tlsClient.connect() && tlsClient.write("ping\r\n")) reply = tlsClient.read(4);
        });
        auto line = f.delegate->waitFor(Call::DidReadData, accepted, 2);
        if (line) {
            accepted->writeData(ByteBuffer{'p', 'o', 'n', 'g'}, -1, 3);
        } else {
            accepted->disconnect();  // lets the peer thread end before the test fails
        }
        peer.join();
        ASSERT_TRUE(line);
        EXPECT_EQ(line->data, "ping\r\n");
        EXPECT_EQ(reply, "pong");
        EXPECT_EQ(platform::TlsContext::identityContextsBuilt() - before, step.built);
    }
}

class AsyncSocketTlsLevels : public AsyncSocketTls, public ::testing::WithParamInterface<const char*> {};

TEST_P(AsyncSocketTlsLevels, BrokenProtocolLevelsAreRefused) {
    TlsSettings settings = serverSettings();
    settings.level = GetParam();
    sock->startTLS(settings);
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketOtherError);
    EXPECT_EQ(event->error->description, "Error in SSLSetProtocolVersionEnabled");
}

INSTANTIATE_TEST_SUITE_P(Levels, AsyncSocketTlsLevels,
                         ::testing::Values(TlsSettings::kLevelSSLv2, TlsSettings::kLevelSSLv3, TlsSettings::kLevelTLSv1));

TEST_F(AsyncSocketTls, SettingFailuresNameTheirCall) {
    TlsSettings settings = serverSettings();
    settings.cipherSuites = std::vector<long>{0xFFFE};
    sock->startTLS(settings);
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketOtherError);
    EXPECT_EQ(event->error->description, "Error in SSLSetEnabledCiphers");
}

}  // namespace
