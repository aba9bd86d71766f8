#include "AsyncSocket/AsyncSocket.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/syscall.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "AsyncSocket/SocketTestSupport.h"
#include "AsyncSocket/TlsTestSettings.h"
#include "tools/Eventually.h"
#include "tools/TcpTable.h"

namespace {

using namespace socket_test;
using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::Error;

const ByteBuffer kCRLF = AsyncSocket::CRLFData();

ByteBuffer bytesOf(const std::string& text) { return ByteBuffer(text.begin(), text.end()); }

ByteBuffer loopbackAddressBytes(int family, uint16_t port) {
    const testtools::LoopbackAddress address = testtools::loopbackAddress(family, port);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address.storage);
    return ByteBuffer(bytes, bytes + address.length);
}

// The lookup of a name that has both an IPv4 and an IPv6 loopback address (the machine's own
// "localhost" may have only one): both results of the system's lookup, in one list that
// freeaddrinfo frees as a whole.
int lookupBothLoopbacks(const char*, const char* service, const addrinfo* hints, addrinfo** result) {
    addrinfo* first = nullptr;
    addrinfo* second = nullptr;
    if (const int answer = ::getaddrinfo("127.0.0.1", service, hints, &first); answer != 0) return answer;
    if (const int answer = ::getaddrinfo("::1", service, hints, &second); answer != 0) {
        ::freeaddrinfo(first);
        return answer;
    }
    addrinfo* last = first;
    while (last->ai_next) last = last->ai_next;
    last->ai_next = second;
    *result = first;
    return 0;
}

// Name lookups held at a gate until the test opens it (or the gate goes away); counts the
// lookups that have reached the gate and those that have finished. Installed as the socket
// layer's lookup while alive; the lookup itself is the system's unless the test gives one.
class LookupGate {
public:
    using Resolver = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    explicit LookupGate(Resolver resolve = ::getaddrinfo) : state_(std::make_shared<State>()) {
        AsyncSocket::setAddressLookupForTesting(
            [state = state_, resolve](const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
                std::unique_lock lock(state->mutex);
                ++state->started;
                state->cv.notify_all();
                state->cv.wait(lock, [&] { return state->open; });
                lock.unlock();
                const int answer = resolve(host, service, hints, result);
                lock.lock();
                ++state->finished;
                state->cv.notify_all();
                return answer;
            });
    }
    ~LookupGate() {
        open();
        AsyncSocket::setAddressLookupForTesting({});
    }
    void open() {
        std::lock_guard lock(state_->mutex);
        state_->open = true;
        state_->cv.notify_all();
    }
    bool waitStarted(int n) {
        std::unique_lock lock(state_->mutex);
        return state_->cv.wait_for(lock, 10s, [&] { return state_->started >= n; });
    }
    bool waitFinished(int n) {
        std::unique_lock lock(state_->mutex);
        return state_->cv.wait_for(lock, 10s, [&] { return state_->finished >= n; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool open = false;
        int started = 0;
        int finished = 0;
    };
    std::shared_ptr<State> state_;
};

// A listening socket (the server) and client sockets with a delegate of their own.
class AsyncSocketConnect : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.listening); }

    std::shared_ptr<AsyncSocket> newClient() {
        auto sock = AsyncSocket::create(delegate, delegateQueue);
        clients.push_back(sock);
        return sock;
    }
    void TearDown() override {
        for (auto& sock : clients) sock->disconnect();
        delegateQueue->sync([] {});
    }
    std::optional<Event> connected(const std::shared_ptr<AsyncSocket>& sock) { return delegate->waitFor(Call::DidConnectToHost, sock); }
    std::optional<Event> disconnected(const std::shared_ptr<AsyncSocket>& sock) { return delegate->waitFor(Call::DidDisconnect, sock); }
    // The server's side of the connection number n (from 0).
    std::shared_ptr<AsyncSocket> accepted(size_t n) {
        auto event = server.delegate->waitForNth(Call::DidAcceptNewSocket, server.listener, n);
        if (!event) return nullptr;
        server.accepted.push_back(event->newSocket);
        return event->newSocket;
    }
    // Nothing more happens on the socket for a while: no late connect, no second close.
    void expectQuiet(const std::shared_ptr<AsyncSocket>& sock, size_t disconnects) {
        std::this_thread::sleep_for(200ms);
        sock->performBlock([] {});
        delegateQueue->sync([] {});
        EXPECT_EQ(delegate->count(Call::DidConnectToHost, sock), 0u);
        EXPECT_EQ(delegate->count(Call::DidDisconnect, sock), disconnects);
        EXPECT_EQ(server.delegate->count(Call::DidAcceptNewSocket, server.listener), 0u);
    }

    ListeningFixture server;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<DispatchQueue> delegateQueue = DispatchQueue::createSerial("test.client.delegate");
    std::vector<std::shared_ptr<AsyncSocket>> clients;
};

TEST_F(AsyncSocketConnect, ConnectsByHostOrAddressAndExchangesDataBothWays) {
    struct Case {
        const char* name;
        std::optional<std::string> host;  // nullopt: by address
        int family;                       // of the address
        std::optional<std::string> interface;
        const char* peer;
    };
    const Case cases[] = {
        {"host localhost", "localhost", 0, std::nullopt, "127.0.0.1"},
        {"host 127.0.0.1", "127.0.0.1", 0, std::nullopt, "127.0.0.1"},
        {"host ::1", "::1", 0, std::nullopt, "::1"},
        {"IPv4 address", std::nullopt, AF_INET, std::nullopt, "127.0.0.1"},
        {"IPv6 address", std::nullopt, AF_INET6, std::nullopt, "::1"},
        {"via interface lo", "127.0.0.1", 0, "lo", "127.0.0.1"},
        {"IPv6 via interface lo", "::1", 0, "lo", "::1"},
        {"via interface 127.0.0.1", std::nullopt, AF_INET, "127.0.0.1", "127.0.0.1"},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sock = newClient();
        Error error;
        const bool started = c.host ? sock->connectToHost(*c.host, server.port, c.interface, 5.0, &error)
                                    : sock->connectToAddress(loopbackAddressBytes(c.family, server.port), c.interface, 5.0, &error);
        ASSERT_TRUE(started) << error.describe();
        // Asked for while connecting: served once connected.
        sock->writeData(bytesOf("ping\r\n"), 5.0, 1);
        sock->readDataToData(kCRLF, 5.0, 2);

        auto event = connected(sock);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->data, c.peer);
        EXPECT_EQ(event->length, server.port);
        EXPECT_TRUE(sock->isConnected());
        EXPECT_EQ(sock->connectedHost(), c.peer);
        EXPECT_EQ(sock->connectedPort(), server.port);
        EXPECT_EQ(sock->localHost(), c.peer);  // a loopback peer, so a loopback local address

        auto peer = accepted(n++);
        ASSERT_TRUE(peer);
        EXPECT_EQ(peer->connectedPort(), sock->localPort());
        peer->readDataToData(kCRLF, 5.0, 3);
        auto ping = server.delegate->waitFor(Call::DidReadData, peer, 3);
        ASSERT_TRUE(ping);
        EXPECT_EQ(ping->data, "ping\r\n");
        peer->writeData(bytesOf("pong\r\n"), 5.0, 4);
        auto pong = delegate->waitFor(Call::DidReadData, sock, 2);
        ASSERT_TRUE(pong);
        EXPECT_EQ(pong->data, "pong\r\n");
        EXPECT_TRUE(delegate->waitFor(Call::DidWriteData, sock, 1));
        // Close-on-exec, as every descriptor of the socket layer.
        int fdFlags = 0;
        sock->performBlock([&] { fdFlags = ::fcntl(sock->socketFD(), F_GETFD); });
        EXPECT_TRUE(fdFlags & FD_CLOEXEC);

        sock->disconnect();
        auto closed = disconnected(sock);
        ASSERT_TRUE(closed);
        EXPECT_FALSE(closed->error);
    }
}

TEST_F(AsyncSocketConnect, TlsStartedOnBothEnds) {
    struct Case {
        const char* peerName;
        bool secured;
    };
    const Case cases[] = {{"localhost", true}, {"other.example", false}};
    size_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peerName);
        auto sock = newClient();
        ASSERT_TRUE(sock->connectToHost("localhost", server.port));
        ASSERT_TRUE(connected(sock));
        auto peer = accepted(n++);
        ASSERT_TRUE(peer);
        peer->startTLS(serverSettings());
        sock->startTLS(clientSettings(c.peerName));
        sock->writeData(bytesOf("secret\r\n"), -1, 1);
        sock->readDataToData(kCRLF, -1, 2);
        peer->readDataToData(kCRLF, -1, 3);
        if (!c.secured) {
            // The client checks the server's certificate and refuses a name it does not carry.
            auto closed = disconnected(sock);
            ASSERT_TRUE(closed);
            ASSERT_TRUE(closed->error);
            EXPECT_EQ(closed->error->domain, AsyncSocketSSLErrorDomain);
            EXPECT_EQ(closed->error->code, platform::tls::kCertificateChainInvalid);
            EXPECT_EQ(delegate->count(Call::DidSecure, sock), 0u);
            EXPECT_EQ(server.delegate->count(Call::DidReadData, peer), 0u);
            continue;
        }
        ASSERT_TRUE(delegate->waitFor(Call::DidSecure, sock));
        ASSERT_TRUE(server.delegate->waitFor(Call::DidSecure, peer));
        EXPECT_TRUE(sock->isSecure());
        auto secret = server.delegate->waitFor(Call::DidReadData, peer, 3);
        ASSERT_TRUE(secret);
        EXPECT_EQ(secret->data, "secret\r\n");
        peer->writeData(bytesOf("reply\r\n"), -1, 4);
        auto reply = delegate->waitFor(Call::DidReadData, sock, 2);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->data, "reply\r\n");
    }
}

TEST_F(AsyncSocketConnect, RefusedStarts) {
    auto noDelegate = AsyncSocket::create({}, delegateQueue);
    auto noQueue = AsyncSocket::create(delegate, nullptr);
    auto noFamilies = newClient();
    noFamilies->setIPv4Enabled(false);
    noFamilies->setIPv6Enabled(false);
    auto noIPv4 = newClient();
    noIPv4->setIPv4Enabled(false);
    auto noIPv6 = newClient();
    noIPv6->setIPv6Enabled(false);
    auto fresh = newClient();
    auto connecting = newClient();
    ASSERT_TRUE(connecting->connectToAddress(loopbackAddressBytes(AF_INET, server.port)));
    ByteBuffer short6 = loopbackAddressBytes(AF_INET6, server.port);
    short6.resize(16);
    expectRefused({
        {"no delegate", [&](Error* e) { return noDelegate->connectToHost("localhost", server.port, e); }, 1,
         "Attempting to connect without a delegate. Set a delegate first."},
        {"no delegate queue", [&](Error* e) { return noQueue->connectToHost("localhost", server.port, e); }, 1,
         "Attempting to connect without a delegate queue. Set a delegate queue first."},
        {"both families off", [&](Error* e) { return noFamilies->connectToHost("localhost", server.port, e); }, 1,
         "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"second connect while connecting", [&](Error* e) { return connecting->connectToHost("localhost", server.port, e); }, 1,
         "Attempting to connect while connected or accepting connections. Disconnect first."},
        {"a listening socket", [&](Error* e) { return server.listener->connectToHost("localhost", server.port, e); }, 1,
         "Attempting to connect while connected or accepting connections. Disconnect first."},
        {"empty host", [&](Error* e) { return fresh->connectToHost("", server.port, e); }, 2,
         "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string."},
        {"unknown interface", [&](Error* e) { return fresh->connectToHost("localhost", server.port, std::string("no-such-if0"), -1.0, e); },
         2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv6 family in 16 bytes", [&](Error* e) { return fresh->connectToAddress(short6, e); }, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"too short", [&](Error* e) { return fresh->connectToAddress(ByteBuffer(8), e); }, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"IPv4 address, IPv4 off", [&](Error* e) { return noIPv4->connectToAddress(loopbackAddressBytes(AF_INET, server.port), e); },
         2, "IPv4 has been disabled and an IPv4 address was passed."},
        {"IPv6 address, IPv6 off", [&](Error* e) { return noIPv6->connectToAddress(loopbackAddressBytes(AF_INET6, server.port), e); },
         2, "IPv6 has been disabled and an IPv6 address was passed."},
        {"IPv4-only interface, IPv4 off",
         [&](Error* e) { return noIPv4->connectToHost("localhost", server.port, std::string("127.0.0.1"), -1.0, e); }, 2,
         "IPv4 has been disabled and specified interface doesn't support IPv6."},
    });
    EXPECT_TRUE(fresh->isDisconnected());
    EXPECT_TRUE(noIPv4->isDisconnected());
    // The refused second attempt left the first one alone.
    EXPECT_TRUE(connected(connecting));
}

TEST_F(AsyncSocketConnect, IPv4IsPreferredUnlessToldOtherwise) {
    struct Case {
        const char* name;
        bool preferIPv4;
        bool ipv4Enabled;
        const char* peer;
    };
    const Case cases[] = {
        {"default", true, true, "127.0.0.1"},
        {"IPv6 preferred", false, true, "::1"},
        // The lookup finds both, but a disabled family is never used.
        {"IPv4 disabled", true, false, "::1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sock = newClient();
        sock->setPreferIPv4OverIPv6(c.preferIPv4);
        sock->setIPv4Enabled(c.ipv4Enabled);
        ASSERT_TRUE(sock->connectToHost("localhost", server.port));
        auto event = connected(sock);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->data, c.peer);
        EXPECT_EQ(sock->isIPv6(), std::string(c.peer) == "::1");
    }
}

// The families are read when the lookup's result comes back: a lookup that found only
// addresses of disabled families ends the attempt with the error that says so, never with a
// connect to no address.
TEST_F(AsyncSocketConnect, LookupThatFindsOnlyDisabledFamiliesEndsTheAttempt) {
    struct Case {
        const char* name;
        const char* host;
        LookupGate::Resolver resolve;
        bool ipv4Enabled;
        bool ipv6Enabled;
        long code;
        const char* description;
    };
    const Case cases[] = {
        {"IPv4 off, only an IPv4 address", "127.0.0.1", ::getaddrinfo, false, true, AsyncSocketOtherError,
         "IPv4 has been disabled and DNS lookup found no IPv6 address."},
        {"IPv6 off, only an IPv6 address", "::1", ::getaddrinfo, true, false, AsyncSocketOtherError,
         "IPv6 has been disabled and DNS lookup found no IPv4 address."},
        {"both off, both found", "both.test", lookupBothLoopbacks, false, false, AsyncSocketBadConfigError,
         "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sock = newClient();
        LookupGate gate(c.resolve);
        ASSERT_TRUE(sock->connectToHost(c.host, server.port, 5.0));
        // Changed while the lookup runs (both may not be off when an attempt starts).
        sock->setIPv4Enabled(c.ipv4Enabled);
        sock->setIPv6Enabled(c.ipv6Enabled);
        ASSERT_EQ(sock->isIPv6Enabled(), c.ipv6Enabled);
        gate.open();
        auto event = disconnected(sock);
        ASSERT_TRUE(event);
        ASSERT_TRUE(event->error);
        EXPECT_EQ(event->error->domain, AsyncSocketErrorDomain);
        EXPECT_EQ(event->error->code, c.code);
        EXPECT_EQ(event->error->description, c.description);
        EXPECT_EQ(delegate->count(Call::DidConnectToHost, sock), 0u);
        EXPECT_TRUE(sock->isDisconnected());
    }
    EXPECT_EQ(server.delegate->count(Call::DidAcceptNewSocket, server.listener), 0u);
}

TEST_F(AsyncSocketConnect, RefusedPortEndsInADisconnectWithThePosixError) {
    auto sock = newClient();
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", freePort()));
    auto event = disconnected(sock);
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, platform::kPosixDomain);
    EXPECT_EQ(event->error->code, ECONNREFUSED);
    EXPECT_EQ(event->error->failureReason, "Error in connect() function");
    EXPECT_EQ(delegate->count(Call::DidConnectToHost, sock), 0u);
    EXPECT_TRUE(sock->isDisconnected());
}

TEST_F(AsyncSocketConnect, UnknownHostEndsInTheLookupError) {
    auto sock = newClient();
    ASSERT_TRUE(sock->connectToHost("no-such-host.invalid", server.port));
    auto event = disconnected(sock);
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, AsyncSocketNetDBErrorDomain);
    EXPECT_NE(event->error->code, 0);
    EXPECT_EQ(event->error->description, gai_strerror(static_cast<int>(event->error->code)));
    EXPECT_EQ(delegate->count(Call::DidConnectToHost, sock), 0u);
}

TEST_F(AsyncSocketConnect, TimeOutZeroClosesWithCode3AndTheLateLookupIsIgnored) {
    LookupGate gate;
    auto sock = newClient();
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port, 0.0));
    auto event = disconnected(sock);
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, AsyncSocketErrorDomain);
    EXPECT_EQ(event->error->code, AsyncSocketConnectTimeoutError);
    EXPECT_EQ(event->error->description, "Attempt to connect to host timed out");
    gate.open();
    ASSERT_TRUE(gate.waitFinished(1));
    expectQuiet(sock, 1);
}

TEST_F(AsyncSocketConnect, DisconnectWhileLookingUpDropsTheLateResultAndTheSocketConnectsAgain) {
    auto sock = newClient();
    {
        LookupGate gate;
        ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port));
        sock->disconnect();
        auto event = disconnected(sock);
        ASSERT_TRUE(event);
        EXPECT_FALSE(event->error);
        gate.open();
        ASSERT_TRUE(gate.waitFinished(1));
        expectQuiet(sock, 1);
    }
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port));
    EXPECT_TRUE(connected(sock));
}

// A name lookup can take long (a name server that does not answer); an owner that lets go of
// the socket meanwhile is rid of it at once, and the late result connects nothing.
TEST_F(AsyncSocketConnect, ASocketLetGoWhileLookingUpGoesAtOnceAndConnectsNothing) {
    LookupGate gate;
    std::weak_ptr<AsyncSocket> released;
    {
        auto sock = AsyncSocket::create(delegate, delegateQueue);
        ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port, 5.0));
        ASSERT_TRUE(gate.waitStarted(1));
        released = sock;
    }
    // The gate is still shut: nothing but the lookup could keep the socket now.
    EXPECT_TRUE(testtools::eventually([&] { return released.expired(); }));
    gate.open();
    ASSERT_TRUE(gate.waitFinished(1));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(server.delegate->count(Call::DidAcceptNewSocket, server.listener), 0u);
}

TEST_F(AsyncSocketConnect, NegativeTimeOutNeverFiresAndASuccessEndsTheTimeOut) {
    struct Case {
        const char* name;
        double timeout;
    };
    const Case cases[] = {{"no time-out, slow lookup", -1.0}, {"time-out longer than the lookup", 0.3}};
    size_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sock = newClient();
        {
            LookupGate gate;
            ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port, c.timeout));
            std::this_thread::sleep_for(100ms);
            gate.open();
            ASSERT_TRUE(connected(sock));
        }
        ASSERT_TRUE(accepted(n++));
        // Past the time-out, still connected.
        std::this_thread::sleep_for(400ms);
        EXPECT_TRUE(sock->isConnected());
        EXPECT_EQ(delegate->count(Call::DidDisconnect, sock), 0u);
    }
}

// The descriptors the process has open.
size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// The threads of the process that are blocked in connect() now.
size_t threadsInConnect() {
    size_t n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream syscall(task.path() / "syscall");
        long number = -1;
        if (syscall >> number && number == SYS_connect) ++n;
    }
    return n;
}

// The sockets of the machine that are still asking the peer at the port to take a
// connection (state SYN-SENT, 02 in the kernel's tables).
size_t connectsUnderWayTo(uint16_t port) {
    size_t n = 0;
    testtools::anyTcpSocket([&](const testtools::TcpSocketEntry& socket) {
        if (socket.state == "02" && socket.remotePort == port) ++n;
        return false;
    });
    return n;
}

// A listener whose listen queue is full: it drops further connection requests, so a connect
// to it keeps waiting (for minutes, by the system's own retries).
class FullListener {
public:
    FullListener() : address_(testtools::loopbackAddress(AF_INET, 0)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(listener_, address_.get(), address_.length) != 0 || ::listen(listener_, 0) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address_.storage), &address_.length) != 0) {
            return;
        }
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(filler_, address_.get(), address_.length);
        full_ = testtools::eventually([&] {
            tcp_info info{};
            socklen_t length = sizeof info;
            return ::getsockopt(listener_, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_unacked >= 1;
        });
    }
    ~FullListener() {
        if (filler_ != -1) ::close(filler_);
        if (listener_ != -1) ::close(listener_);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    bool isFull() const { return full_; }
    uint16_t port() const { return ntohs(reinterpret_cast<const sockaddr_in*>(&address_.storage)->sin_port); }
    ByteBuffer address() const {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&address_.storage);
        return ByteBuffer(bytes, bytes + address_.length);
    }

private:
    testtools::LoopbackAddress address_;
    int listener_ = -1;
    int filler_ = -1;
    bool full_ = false;
};

TEST_F(AsyncSocketConnect, ATimedOutConnectStopsWaitingForThePeer) {
    FullListener full;
    ASSERT_TRUE(full.isFull());
    auto sock = newClient();
    const size_t before = openDescriptors();
    ASSERT_TRUE(sock->connectToAddress(full.address(), 0.2));
    auto event = disconnected(sock);
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketConnectTimeoutError);
    // The connect under way ends with the attempt and lets go of its descriptor, instead of
    // holding the socket until the system gives up.
    EXPECT_TRUE(testtools::eventually([&] { return openDescriptors() <= before; }, 3s));
    EXPECT_TRUE(testtools::eventually([&] { return connectsUnderWayTo(full.port()) == 0; }, 3s));
}

// Connects abandoned right after they started - disconnected, timed out at once or let go -
// end there and then: no thread stays blocked in a connect, no socket goes on asking the peer
// for minutes, and the threads that every queue shares stay free. More attempts than the pool
// has threads.
TEST_F(AsyncSocketConnect, ConnectsAbandonedAtOnceLeaveNoThreadOrSocketBehind) {
    FullListener full;
    ASSERT_TRUE(full.isFull());
    enum class Abandon { Disconnect, TimeOut, Release };
    struct Case {
        const char* name;
        Abandon how;
    };
    const Case cases[] = {{"disconnected", Abandon::Disconnect}, {"timed out", Abandon::TimeOut}, {"let go", Abandon::Release}};
    constexpr int kPerCase = 100;
    const size_t descriptorsBefore = openDescriptors();
    std::vector<std::pair<std::shared_ptr<AsyncSocket>, Abandon>> kept;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < kPerCase; ++i) {
            auto sock = AsyncSocket::create(delegate, delegateQueue);
            ASSERT_TRUE(sock->connectToAddress(full.address(), c.how == Abandon::TimeOut ? 0.0 : -1.0));
            if (c.how == Abandon::Disconnect) sock->disconnect();
            if (c.how != Abandon::Release) kept.emplace_back(std::move(sock), c.how);
        }
    }

    // Another queue still gets a thread.
    auto other = DispatchQueue::createSerial("test.other");
    auto served = std::make_shared<std::atomic<bool>>(false);
    other->async([served] { *served = true; });
    EXPECT_TRUE(testtools::eventually([&] { return served->load(); }, 30s));

    EXPECT_TRUE(testtools::eventually([] { return threadsInConnect() == 0; }, 30s)) << threadsInConnect() << " threads in connect";
    EXPECT_TRUE(testtools::eventually([&] { return connectsUnderWayTo(full.port()) == 0; }, 30s))
        << connectsUnderWayTo(full.port()) << " connects under way";
    EXPECT_TRUE(testtools::eventually([&] { return openDescriptors() <= descriptorsBefore; }, 30s))
        << openDescriptors() - descriptorsBefore << " descriptors more than before";
    for (const auto& [sock, how] : kept) {
        auto event = disconnected(sock);
        ASSERT_TRUE(event);
        if (how == Abandon::Disconnect) {
            EXPECT_FALSE(event->error);
        } else {
            ASSERT_TRUE(event->error);
            EXPECT_EQ(event->error->code, AsyncSocketConnectTimeoutError);
        }
        EXPECT_TRUE(sock->isDisconnected());
    }
    delegateQueue->sync([] {});
    for (const auto& [sock, how] : kept) {
        EXPECT_EQ(delegate->count(Call::DidDisconnect, sock), 1u);
        EXPECT_EQ(delegate->count(Call::DidConnectToHost, sock), 0u);
    }
}

TEST_F(AsyncSocketConnect, ManyClientsConnectFromManyThreadsAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 8;
    std::vector<std::shared_ptr<AsyncSocket>> socks;
    for (int i = 0; i < kThreads * kPerThread; ++i) socks.push_back(newClient());
    std::vector<std::thread> threads;
    std::atomic<int> started{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto& sock = socks[static_cast<size_t>(t * kPerThread + i)];
                const bool ok = i % 2 ? sock->connectToHost(i % 4 == 1 ? "localhost" : "::1", server.port, 10.0)
                                      : sock->connectToAddress(loopbackAddressBytes(AF_INET, server.port), 10.0);
                if (ok) ++started;
                sock->writeData(bytesOf("hello\r\n"), 10.0, 1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(started, kThreads * kPerThread);
    for (size_t i = 0; i < socks.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(delegate->waitFor(Call::DidWriteData, socks[i], 1));
    }
    for (size_t n = 0; n < socks.size(); ++n) {
        auto peer = accepted(n);
        ASSERT_TRUE(peer);
        peer->readDataToData(kCRLF, 10.0, 7);
        auto line = server.delegate->waitFor(Call::DidReadData, peer, 7);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->data, "hello\r\n");
    }
}

}  // namespace
