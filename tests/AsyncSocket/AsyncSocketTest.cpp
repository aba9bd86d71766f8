#include "AsyncSocket/AsyncSocket.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "AsyncSocket/SocketTestSupport.h"
#include "tools/DescriptorsUsedUp.h"
#include "tools/Eventually.h"
#include "tools/LogCapture.h"

namespace {

using namespace socket_test;
using platform::DispatchQueue;
using platform::Error;
using testtools::DescriptorsUsedUp;
using testtools::LogCapture;

const ByteBuffer kCRLF = AsyncSocket::CRLFData();

// Waits until the client sees the end of the stream (or 10 s pass).
bool clientSeesEnd(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c;
    for (int i = 0; i < 100; ++i) {
        if (::poll(&p, 1, 100) > 0) return ::recv(fd, &c, 1, 0) <= 0;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Closing and the queue discipline

TEST(AsyncSocketLifecycle, DisconnectBeforeStartPostsNothing) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto queue = DispatchQueue::createSerial("test.delegate");
    auto sock = AsyncSocket::create(delegate, queue);
    EXPECT_TRUE(sock->isDisconnected());
    sock->disconnect();
    sock->disconnectAfterReadingAndWriting();
    sock->readData(-1, 1);
    sock->performBlock([] {});  // the posted requests have run
    queue->sync([] {});
    EXPECT_TRUE(delegate->events().empty());
}

TEST(AsyncSocketLifecycle, ListeningSocketDisconnectsOnceWithNoError) {
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    EXPECT_FALSE(f.listener->isDisconnected());
    // Listening ends with the call, not when the descriptors are closed later on the socket
    // queue (held here by the block, so the close cannot have happened yet).
    f.listener->performBlock([&] {
        f.listener->disconnect();
        for (int family : {AF_INET, AF_INET6}) {
            const int late = connectClient(f.port, family);
            EXPECT_EQ(late, -1) << "family " << family;
            if (late != -1) ::close(late);
        }
    });
    EXPECT_TRUE(f.listener->isDisconnected());
    f.listener->disconnect();
    auto event = f.delegate->waitFor(Call::DidDisconnect, f.listener);
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->error);
    f.delegateQueue->sync([] {});
    EXPECT_EQ(f.delegate->count(Call::DidDisconnect, f.listener), 1u);
    // Closed, it may listen again.
    EXPECT_TRUE(f.listener->acceptOnInterface(std::string("localhost"), 0));
}

TEST(AsyncSocketLifecycle, WithoutDelegateQueueACloseIsSilent) {
    ListeningFixture f;
    int client = -1;
    auto sock = f.accept(&client);
    ASSERT_TRUE(sock);
    sock->synchronouslySetDelegateQueue(nullptr);
    sock->disconnect();
    f.delegateQueue->sync([] {});
    EXPECT_EQ(f.delegate->count(Call::DidDisconnect, sock), 0u);
    EXPECT_TRUE(clientSeesEnd(client));
}

TEST(AsyncSocketLifecycle, DelegateCallOnTheSocketQueueMayAskTheSocket) {
    // The listening socket's delegate queue is its own socket queue: a delegate call that
    // asks the socket runs inline instead of waiting for itself.
    auto delegate = std::make_shared<RecordingDelegate>();
    auto queue = DispatchQueue::createSerial("test.shared");
    auto listener = AsyncSocket::create(delegate, queue, queue);
    std::atomic<bool> answered{false};
    delegate->onAccept = [&](const std::shared_ptr<AsyncSocket>& sock, const std::shared_ptr<AsyncSocket>&) {
        answered = sock->delegate() == delegate && sock->delegateQueue() == queue && !sock->isDisconnected();
    };
    ASSERT_TRUE(listener->acceptOnInterface(std::string("localhost"), 0));
    const int client = connectClient(listener->localPort());
    ASSERT_GE(client, 0);
    auto event = delegate->waitFor([](const Event& e) { return e.call == Call::DidAcceptNewSocket; });
    ASSERT_TRUE(event);
    EXPECT_TRUE(answered);
    event->newSocket->disconnect();
    listener->disconnect();
    ::close(client);
}

TEST(AsyncSocketLifecycle, DisconnectAfterWritingSendsBothWritesThenCloses) {
    ListeningFixture f;
    int client = -1;
    auto sock = f.accept(&client);
    ASSERT_TRUE(sock);
    const std::string first(1 << 20, 'a'), second(1 << 20, 'b');
    sock->writeData(ByteBuffer(first.begin(), first.end()), -1, 1);
    sock->writeData(ByteBuffer(second.begin(), second.end()), -1, 2);
    sock->disconnectAfterWriting();
    sock->readData(-1, 3);  // refused: no new requests
    EXPECT_EQ(recvN(client, first.size() + second.size()), first + second);
    auto disconnected = f.delegate->waitFor(Call::DidDisconnect, sock);
    ASSERT_TRUE(disconnected);
    EXPECT_FALSE(disconnected->error);
    std::vector<long> order;
    for (const Event& e : f.delegate->events()) {
        if (e.sock == sock && (e.call == Call::DidWriteData || e.call == Call::DidDisconnect || e.call == Call::DidReadData)) {
            order.push_back(e.call == Call::DidDisconnect ? -1 : e.tag);
        }
    }
    EXPECT_EQ(order, (std::vector<long>{1, 2, -1}));
    EXPECT_TRUE(clientSeesEnd(client));
}

TEST(AsyncSocketLifecycle, DisconnectAfterReadingDoesNotWaitForWrites) {
    ListeningFixture f;
    int client = -1;
    auto sock = f.accept(&client);
    ASSERT_TRUE(sock);
    // The client reads nothing, so a large write stays queued.
    sock->writeData(ByteBuffer(64 << 20, 'x'), -1, 1);
    sock->disconnectAfterReading();
    auto disconnected = f.delegate->waitFor(Call::DidDisconnect, sock);
    ASSERT_TRUE(disconnected);
    EXPECT_FALSE(disconnected->error);
    EXPECT_EQ(f.delegate->count(Call::DidWriteData, sock), 0u);
}

TEST(AsyncSocketLifecycle, UserDataAndConfiguration) {
    auto sock = AsyncSocket::create();
    auto data = std::make_shared<int>(7);
    sock->setUserData(data);
    EXPECT_EQ(sock->userData(), data);
    sock->setUserData(data);
    EXPECT_EQ(sock->userData(), data);
    EXPECT_TRUE(sock->isIPv4Enabled());
    sock->setIPv4Enabled(false);
    EXPECT_FALSE(sock->isIPv4Enabled());
    sock->setPreferIPv4OverIPv6(false);
    EXPECT_FALSE(sock->isIPv4PreferredOverIPv6());
    EXPECT_TRUE(sock->autoDisconnectOnClosedReadStream());
    sock->setAutoDisconnectOnClosedReadStream(false);
    EXPECT_FALSE(sock->autoDisconnectOnClosedReadStream());
    EXPECT_FALSE(sock->connectedHost());
    EXPECT_EQ(sock->connectedPort(), 0);
    EXPECT_EQ(sock->localPort(), 0);
    EXPECT_FALSE(sock->connectedAddress());
}

// ---------------------------------------------------------------------------------------------
// Listening and accepting

TEST(AsyncSocketAccept, LocalhostListensAndAcceptsOnBothFamilies) {
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    EXPECT_TRUE(f.listener->isIPv4());
    EXPECT_TRUE(f.listener->isIPv6());
    EXPECT_NE(f.port, 0);
    EXPECT_EQ(f.listener->localHost(), "127.0.0.1");

    struct Case {
        int family;
        const char* host;
    };
    for (const Case c : {Case{AF_INET, "127.0.0.1"}, Case{AF_INET6, "::1"}}) {
        SCOPED_TRACE(c.host);
        int client = -1;
        auto sock = f.accept(&client, c.family);
        ASSERT_TRUE(sock);
        EXPECT_TRUE(sock->isConnected());
        EXPECT_EQ(sock->connectedHost(), c.host);
        EXPECT_EQ(sock->localPort(), f.port);
        EXPECT_EQ(sock->isIPv6(), c.family == AF_INET6);
        // The accepted socket has a queue of its own: it answers from another thread.
        EXPECT_EQ(sock->socketFD(), -1);
        sock->writeData(ByteBuffer{'o', 'k'}, -1, 1);
        EXPECT_EQ(recvN(client, 2), "ok");
    }
}

TEST(AsyncSocketAccept, RefusedStarts) {
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    auto noDelegate = AsyncSocket::create({}, f.delegateQueue);
    auto noQueue = AsyncSocket::create(f.delegate, nullptr);
    auto fresh = AsyncSocket::create(f.delegate, f.delegateQueue);
    auto noFamilies = AsyncSocket::create(f.delegate, f.delegateQueue);
    noFamilies->setIPv4Enabled(false);
    noFamilies->setIPv6Enabled(false);
    expectRefused({
        {"no delegate", [&](Error* e) { return noDelegate->acceptOnPort(0, e); }, 1,
         "Attempting to accept without a delegate. Set a delegate first."},
        {"no delegate queue", [&](Error* e) { return noQueue->acceptOnPort(0, e); }, 1,
         "Attempting to accept without a delegate queue. Set a delegate queue first."},
        {"both families off", [&](Error* e) { return noFamilies->acceptOnPort(0, e); }, 1,
         "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"already listening", [&](Error* e) { return f.listener->acceptOnInterface(std::string("localhost"), 0, e); }, 1,
         "Attempting to accept while connected or accepting connections. Disconnect first."},
        {"unknown interface", [&](Error* e) { return fresh->acceptOnInterface(std::string("no-such-if0"), 0, e); }, 2,
         "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
    });
    EXPECT_TRUE(fresh->isDisconnected());
    EXPECT_TRUE(f.listener->isIPv4());  // the first listening sockets stay
}

TEST(AsyncSocketAccept, PortInUseOnIPv6ClosesIPv4Too) {
    // Hold [::1]:P with a plain socket, then listen on "localhost" port P.
    const int holder = ::socket(AF_INET6, SOCK_STREAM, 0);
    int v6only = 1;
    ::setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin6_port);

    auto delegate = std::make_shared<RecordingDelegate>();
    auto sock = AsyncSocket::create(delegate, DispatchQueue::createSerial("test.delegate"));
    Error error;
    EXPECT_FALSE(sock->acceptOnInterface(std::string("localhost"), port, &error));
    EXPECT_EQ(error.domain, platform::kPosixDomain);
    EXPECT_EQ(error.code, EADDRINUSE);
    EXPECT_EQ(error.failureReason, "Error in bind() function");
    EXPECT_FALSE(sock->isIPv4());
    EXPECT_TRUE(sock->isDisconnected());
    // The IPv4 port was given back.
    const int probe = connectClient(port, AF_INET);
    EXPECT_EQ(probe, -1);
    if (probe >= 0) ::close(probe);
    ::close(holder);
}

// True when a new socket can bind and listen on the loopback address of the family at port.
bool canListen(int family, uint16_t port) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const testtools::LoopbackAddress address = testtools::loopbackAddress(family, port);
    const bool ok = ::bind(fd, address.get(), address.length) == 0 && ::listen(fd, 1) == 0;
    ::close(fd);
    return ok;
}

// In a network namespace of its own, where the system chooses listening ports from 40000 and
// 40001 only (40001 first: it prefers odd ports for listeners), and [::1]:40001 is held by
// another socket. Returns false where the namespace cannot be made (no privilege for it).
bool enterNamespaceWithTwoPortsOneTakenOnIPv6(int& holder) {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    ::ioctl(control, SIOCGIFFLAGS, &loopback);
    loopback.ifr_flags |= IFF_UP;
    const bool up = ::ioctl(control, SIOCSIFFLAGS, &loopback) == 0;
    ::close(control);
    const int range = ::open("/proc/sys/net/ipv4/ip_local_port_range", O_WRONLY | O_CLOEXEC);
    const bool narrowed = range >= 0 && ::write(range, "40000 40001", 11) == 11;
    if (range >= 0) ::close(range);
    holder = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const testtools::LoopbackAddress taken = testtools::loopbackAddress(AF_INET6, 40001);
    return up && narrowed && ::bind(holder, taken.get(), taken.length) == 0 && ::listen(holder, 1) == 0;
}

TEST(AsyncSocketAccept, RegressionChosenPortTakenOnIPv6AloneIsPassedOver) {
    // Whether this machine lets the test make a network namespace, asked of a child at once.
    const pid_t probe = ::fork();
    if (probe == 0) _exit(::unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(probe, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "no network namespace can be made here";

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int holder = -1;
            if (!enterNamespaceWithTwoPortsOneTakenOnIPv6(holder)) {
                std::fprintf(stderr, "namespace not set up\n");
                std::exit(2);
            }
            auto delegate = std::make_shared<RecordingDelegate>();
            auto sock = AsyncSocket::create(delegate, DispatchQueue::createSerial("test.delegate"));
            Error error;
            if (!sock->acceptOnInterface(std::string("localhost"), 0, &error)) {
                std::fprintf(stderr, "not listening: %s\n", error.describe().c_str());
                std::exit(1);
            }
            // Both families on the one free port, and the passed-over port given back.
            const bool both = sock->isIPv4() && sock->isIPv6() && sock->localPort() == 40000 &&
                              !canListen(AF_INET, 40000) && !canListen(AF_INET6, 40000) &&
                              canListen(AF_INET, 40001);
            sock->disconnect();
            std::exit(both ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// A child process that runs while the test looks at what it inherited; ended and reaped by
// its pid.
class ChildProcess {
public:
    ChildProcess() {
        char sleepName[] = "sleep";
        char seconds[] = "30";
        char* argv[] = {sleepName, seconds, nullptr};
        if (::posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    }
    ~ChildProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

TEST(AsyncSocketAccept, DescriptorsAreClosedOnExec) {
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    int client = -1;
    auto sock = f.accept(&client);
    ASSERT_TRUE(sock);
    int listening4 = -1, listening6 = -1, accepted = -1;
    f.listener->performBlock([&] {
        listening4 = f.listener->socket4FD();
        listening6 = f.listener->socket6FD();
    });
    sock->performBlock([&] { accepted = sock->socketFD(); });
    for (const auto& [name, fd] : {std::pair{"listening IPv4", listening4}, std::pair{"listening IPv6", listening6},
                                   std::pair{"accepted", accepted}}) {
        SCOPED_TRACE(name);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }

    // What that buys: a child process started meanwhile holds neither the connection nor the
    // port, so closing them takes effect at once.
    ChildProcess child;
    ASSERT_TRUE(child.running());
    sock->disconnect();
    EXPECT_TRUE(clientSeesEnd(client));
    const uint16_t port = f.port;
    f.listener->disconnect();
    EXPECT_TRUE(testtools::eventually([&] {
        const int probe = connectClient(port);
        if (probe >= 0) ::close(probe);
        return probe < 0;
    }));
}

TEST(AsyncSocketAccept, IPv6SourceFailureClosesBothDescriptors) {
    // The IPv6 read source cannot be made after the IPv4 one was.
    std::vector<int> asked;
    uint16_t port = 0;
    AsyncSocket::setListeningSourceMakerForTesting([&](int fd, const AsyncSocket::DispatchQueuePtr& queue) {
        asked.push_back(fd);
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = AsyncSocket::portFromAddress(ByteBuffer(reinterpret_cast<uint8_t*>(&address), reinterpret_cast<uint8_t*>(&address) + length));
        if (asked.size() == 2) {
            errno = ENOMEM;
            return std::shared_ptr<platform::DispatchSource>();
        }
        return platform::DispatchSource::makeRead(fd, queue);
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    auto sock = AsyncSocket::create(delegate, DispatchQueue::createSerial("test.delegate"));
    Error error;
    const bool listening = sock->acceptOnInterface(std::string("localhost"), 0, &error);
    AsyncSocket::setListeningSourceMakerForTesting({});
    EXPECT_FALSE(listening);
    EXPECT_EQ(error.domain, platform::kPosixDomain);
    EXPECT_TRUE(sock->isDisconnected());
    EXPECT_FALSE(sock->isIPv4());
    EXPECT_FALSE(sock->isIPv6());
    ASSERT_EQ(asked.size(), 2u);
    // Both descriptors are closed (the IPv4 one by its source's cancel handler, on the
    // socket queue): the port is free on both families again.
    EXPECT_TRUE(testtools::eventually([&] { return canListen(AF_INET, port); }));
    EXPECT_TRUE(canListen(AF_INET6, port));
}

TEST(AsyncSocketAccept, PortFromTheDescription) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto queue = DispatchQueue::createSerial("test.delegate");
    struct Case {
        const char* host;
        const char* portText;  // nullptr: a free port
        bool argumentGiven;
        bool expectDescriptionPort;
    };
    // The listening descriptors close in their sources' cancel handlers, after disconnect
    // returns, so every case takes a port of its own.
    const Case cases[] = {
        {"localhost", nullptr, false, true},
        {"127.0.0.1", nullptr, false, true},
        {"localhost", "70000", false, false},
        {"localhost", nullptr, true, false},
    };
    for (const Case& c : cases) {
        const uint16_t port = freePort();
        const std::string description = std::string(c.host) + ":" + (c.portText ? c.portText : std::to_string(port));
        const uint16_t argument = c.argumentGiven ? freePort() : 0;
        SCOPED_TRACE(description);
        auto sock = AsyncSocket::create(delegate, queue);
        Error error;
        ASSERT_TRUE(sock->acceptOnInterface(description, argument, &error)) << error.describe();
        if (c.expectDescriptionPort) {
            EXPECT_EQ(sock->localPort(), port);
        } else {
            EXPECT_NE(sock->localPort(), port);
            if (argument != 0) {
                EXPECT_EQ(sock->localPort(), argument);
            }
        }
        sock->disconnect();
    }
}

// ---------------------------------------------------------------------------------------------
// Accepting when descriptors run out, and the accept limit

// A listening source that counts the events it delivers: each one is a pass of accepts.
class CountingSource : public platform::DispatchSource {
public:
    CountingSource(std::shared_ptr<platform::DispatchSource> inner, std::shared_ptr<std::atomic<int>> events)
        : inner_(std::move(inner)), events_(std::move(events)) {}
    Type type() const override { return inner_->type(); }
    int fd() const override { return inner_->fd(); }
    void setEventHandler(platform::Task handler) override {
        inner_->setEventHandler([events = events_, handler = std::move(handler)] {
            ++*events;
            handler();
        });
    }
    void setCancelHandler(platform::Task handler) override { inner_->setCancelHandler(std::move(handler)); }
    void setTimer(std::chrono::nanoseconds start, std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway) override {
        inner_->setTimer(start, interval, leeway);
    }
    uint64_t data() const override { return inner_->data(); }
    void markDrained() override { inner_->markDrained(); }
    void suspend() override { inner_->suspend(); }
    void resume() override { inner_->resume(); }
    void cancel() override { inner_->cancel(); }
    bool isCancelled() const override { return inner_->isCancelled(); }

private:
    std::shared_ptr<platform::DispatchSource> inner_;
    std::shared_ptr<std::atomic<int>> events_;
};

const std::string kPausedLine = "Accepting paused for 500 ms: Too many open files";

TEST(AsyncSocketAccept, RegressionOutOfDescriptorsPausesAcceptingInsteadOfSpinning) {
    auto events = std::make_shared<std::atomic<int>>(0);
    AsyncSocket::setListeningSourceMakerForTesting([events](int fd, const AsyncSocket::DispatchQueuePtr& queue) {
        return std::make_shared<CountingSource>(platform::DispatchSource::makeRead(fd, queue), events);
    });
    LogCapture log;
    ListeningFixture f;
    AsyncSocket::setListeningSourceMakerForTesting({});
    ASSERT_TRUE(f.listening);

    // Two shortages, each over once accepting has caught up with the backlog: one line each,
    // however often accept fails in it.
    for (size_t shortage = 1; shortage <= 2; ++shortage) {
        SCOPED_TRACE("shortage " + std::to_string(shortage));
        const size_t acceptedBefore = 2 * (shortage - 1);
        *events = 0;
        // The clients' descriptors are made while there are some; they connect once none
        // are left.
        const std::vector<int> clients = f.makeClients(2);
        ASSERT_EQ(clients.size(), 2u);
        DescriptorsUsedUp used;
        ASSERT_TRUE(used.usedUp());
        ASSERT_TRUE(f.connectClients(clients)) << std::strerror(errno);
        EXPECT_TRUE(testtools::eventually([&] { return events->load() > 0; }));

        // The connections wait in the backlog and the descriptor stays readable; while
        // accept fails, the listening socket looks at it twice a second, not over and over.
        const int before = events->load();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LE(events->load() - before, 4);
        EXPECT_EQ(f.delegate->count(Call::DidAcceptNewSocket, f.listener), acceptedBefore);
        EXPECT_EQ(log.count(kPausedLine), shortage);

        // One descriptor comes free: one connection is accepted, the other still finds none,
        // and the shortage goes on.
        used.giveBackOne();
        ASSERT_TRUE(f.delegate->waitForNth(Call::DidAcceptNewSocket, f.listener, acceptedBefore));
        std::this_thread::sleep_for(std::chrono::milliseconds(AsyncSocket::kAcceptPauseMilliseconds + 100));
        EXPECT_EQ(f.delegate->count(Call::DidAcceptNewSocket, f.listener), acceptedBefore + 1);
        EXPECT_EQ(log.count(kPausedLine), shortage);

        // Descriptors free again: the other connection is accepted at the end of the pause.
        used.release();
        const auto freed = std::chrono::steady_clock::now();
        ASSERT_TRUE(f.delegate->waitForNth(Call::DidAcceptNewSocket, f.listener, acceptedBefore + 1));
        EXPECT_LT(std::chrono::steady_clock::now() - freed, std::chrono::milliseconds(2000));
        for (const Event& e : f.delegate->events()) {
            if (e.call != Call::DidAcceptNewSocket || std::count(f.accepted.begin(), f.accepted.end(), e.newSocket)) continue;
            f.accepted.push_back(e.newSocket);
            e.newSocket->writeData(ByteBuffer{'o', 'k'}, -1, 1);
        }
        for (int client : clients) EXPECT_EQ(recvN(client, 2), "ok");
    }
}

TEST(AsyncSocketAccept, RegressionASocketClosedDuringAPauseEndsIt) {
    // A flood leaves a backlog of clients that have gone; each is closed a moment after its
    // accept. With one descriptor to spare, each close must let the next accept run at once:
    // a pause waited out per connection took pellix over a minute to reach a live client.
    LogCapture log;
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    constexpr size_t kClients = 4;
    const std::vector<int> clients = f.makeClients(kClients);
    ASSERT_EQ(clients.size(), kClients);
    DescriptorsUsedUp used;
    ASSERT_TRUE(used.usedUp());
    ASSERT_TRUE(f.connectClients(clients)) << std::strerror(errno);
    ASSERT_TRUE(testtools::eventually([&] { return log.count(kPausedLine) == 1; }));

    // One descriptor free: the first connection takes it and the next accept finds none.
    used.giveBackOne();
    std::chrono::steady_clock::time_point start;
    for (size_t n = 0; n < kClients; ++n) {
        auto accepted = f.delegate->waitForNth(Call::DidAcceptNewSocket, f.listener, n);
        ASSERT_TRUE(accepted) << "connection " << n;
        if (n == 0) start = std::chrono::steady_clock::now();
        accepted->newSocket->disconnect();
    }
    // Waiting out the pause each time would take 1.5 s for the last three.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(2 * AsyncSocket::kAcceptPauseMilliseconds));
    EXPECT_EQ(log.count(kPausedLine), 1u);
    for (int client : clients) EXPECT_TRUE(clientSeesEnd(client));

    // The backlog was emptied in the moment after a close ended the pause, and no client came
    // since. Long after, a new client takes the descriptor the last close gave back, and its
    // accept finds none: a new shortage, with a line of its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * AsyncSocket::kAcceptPauseMilliseconds + 200));
    const std::vector<int> late = f.makeClients(1);
    ASSERT_EQ(late.size(), 1u);
    ASSERT_TRUE(f.connectClients(late)) << std::strerror(errno);
    EXPECT_TRUE(testtools::eventually([&] { return log.count(kPausedLine) == 2; }))
        << log.count(kPausedLine) << " lines";
}

TEST(AsyncSocketAccept, DisconnectDuringAPauseClosesTheListeningDescriptors) {
    LogCapture log;
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    int listening4 = -1, listening6 = -1;
    f.listener->performBlock([&] {
        listening4 = f.listener->socket4FD();
        listening6 = f.listener->socket6FD();
    });
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    f.clients.push_back(client);
    {
        DescriptorsUsedUp used;
        ASSERT_TRUE(used.usedUp());
        const testtools::LoopbackAddress address = testtools::loopbackAddress(AF_INET, f.port);
        ASSERT_EQ(::connect(client, address.get(), address.length), 0);
        ASSERT_TRUE(testtools::eventually([&] { return log.count(kPausedLine) == 1; }));
        f.listener->disconnect();
    }
    // The paused sources still close their descriptors (the numbers are not used again
    // meanwhile: nothing else here opens one)...
    auto closed = [](int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; };
    EXPECT_TRUE(testtools::eventually([&] { return closed(listening4) && closed(listening6); }));
    EXPECT_TRUE(clientSeesEnd(client));
    // ... and the pause's timer, due after the disconnect, leaves a new start alone: it
    // accepts, and nothing resumes a source that was never suspended.
    ASSERT_TRUE(f.listener->acceptOnInterface(std::string("localhost"), 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(AsyncSocket::kAcceptPauseMilliseconds + 200));
    f.port = f.listener->localPort();
    int second = -1;
    EXPECT_TRUE(f.accept(&second));
    EXPECT_EQ(log.count("Dispatch source on \"AsyncSocket\": resume without a matching suspend ignored"), 0u);
}

TEST(AsyncSocketAccept, RegressionConnectionsPastTheAcceptLimitWaitInTheBacklog) {
    // How the first accepted socket gives its place back.
    struct Case {
        const char* name;
        std::function<void(const std::shared_ptr<AsyncSocket>& sock, int client)> end;
    };
    const Case cases[] = {
        {"disconnected", [](const std::shared_ptr<AsyncSocket>& sock, int) { sock->disconnect(); }},
        {"closed by its peer while reading",
         [](const std::shared_ptr<AsyncSocket>& sock, int client) {
             sock->readData(-1, 1);
             ::shutdown(client, SHUT_WR);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ListeningFixture f;
        ASSERT_TRUE(f.listening);
        f.listener->setAcceptLimit(2);
        EXPECT_EQ(f.listener->acceptLimit(), 2u);
        int first = -1, second = -1;
        auto firstSocket = f.accept(&first);
        ASSERT_TRUE(firstSocket);
        ASSERT_TRUE(f.accept(&second));

        // The third connection is made by the system but neither accepted nor reset.
        const int third = connectClient(f.port);
        ASSERT_GE(third, 0);
        f.clients.push_back(third);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(f.delegate->count(Call::DidAcceptNewSocket, f.listener), 2u);
        pollfd p{third, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 0), 0);

        c.end(firstSocket, first);
        auto accepted = f.delegate->waitForNth(Call::DidAcceptNewSocket, f.listener, 2);
        ASSERT_TRUE(accepted);
        f.accepted.push_back(accepted->newSocket);
        accepted->newSocket->writeData(ByteBuffer{'o', 'k'}, -1, 1);
        EXPECT_EQ(recvN(third, 2), "ok");
    }
}

// ---------------------------------------------------------------------------------------------
// Reading

class AsyncSocketRead : public AcceptedSocketTest {};

TEST_F(AsyncSocketRead, ExactLengthAcrossSegments) {
    sock->readDataToLength(10, -1, 1);
    ASSERT_TRUE(sendAll(client, "01234"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(sendAll(client, "56789extra"));
    auto event = read(1);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->data, "0123456789");
    sock->readDataToLength(5, -1, 2);
    auto rest = read(2);
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->data, "extra");
}

TEST_F(AsyncSocketRead, LinesToCRLFFromOneSegmentAndAcrossSegments) {
    for (long tag = 1; tag <= 4; ++tag) sock->readDataToData(kCRLF, -1, tag);
    ASSERT_TRUE(sendAll(client, "one\r\ntwo\r\nthr"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(sendAll(client, "ee\r"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(sendAll(client, "\nfour\r\n"));
    const char* expected[] = {"one\r\n", "two\r\n", "three\r\n", "four\r\n"};
    for (long tag = 1; tag <= 4; ++tag) {
        auto event = read(tag);
        ASSERT_TRUE(event) << tag;
        EXPECT_EQ(event->data, expected[tag - 1]);
    }
}

TEST_F(AsyncSocketRead, IntoTheCallersBufferAtAnOffset) {
    auto buffer = std::make_shared<ByteBuffer>(ByteBuffer{'[', '['});
    sock->readDataToData(kCRLF, -1, buffer, 2, 1);
    ASSERT_TRUE(sendAll(client, "abc\r\n"));
    auto event = read(1);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->data, "abc\r\n");
    f.delegateQueue->sync([] {});
    EXPECT_EQ(std::string(buffer->begin(), buffer->end()), "[[abc\r\n");
}

TEST_F(AsyncSocketRead, InvalidRequestsAreDroppedSilently) {
    auto buffer = std::make_shared<ByteBuffer>(3);
    sock->readDataToData(ByteBuffer{}, -1, 1);          // empty terminator
    sock->readDataToLength(0, -1, 2);                   // nothing to read
    sock->readDataToData(kCRLF, -1, 1, 3);              // maxLength below the terminator
    sock->readData(-1, buffer, 4, 4);                   // offset past the buffer
    sock->readData(-1, 9);
    ASSERT_TRUE(sendAll(client, "x"));
    auto event = f.delegate->waitFor([&](const Event& e) { return e.call == Call::DidReadData && e.sock == sock; });
    ASSERT_TRUE(event);
    EXPECT_EQ(event->tag, 9);
    EXPECT_EQ(event->data, "x");
}

TEST_F(AsyncSocketRead, LineLongerThanItsMaximumFailsWithCode6) {
    sock->readDataToData(kCRLF, -1, 16, 1);
    ASSERT_TRUE(sendAll(client, std::string(40, 'z')));
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketReadMaxedOutError);
    EXPECT_EQ(event->error->description, "Read operation reached set maximum length");
    EXPECT_EQ(f.delegate->count(Call::DidReadData, sock), 0u);
}

TEST_F(AsyncSocketRead, TimeOutWithoutExtensionClosesWithCode4) {
    sock->readDataToData(kCRLF, 0.05, 1);
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->domain, AsyncSocketErrorDomain);
    EXPECT_EQ(event->error->code, AsyncSocketReadTimeoutError);
    EXPECT_EQ(event->error->description, "Read operation timed out");
}

// A read that completes leaves its timer's schedule behind for the next read to set again;
// the old deadline must time out nothing, whether the next read has no time-out or a longer one.
TEST_F(AsyncSocketRead, EndedReadsDeadlineNeverTimesOutALaterRead) {
    struct Case {
        double nextTimeout;
    };
    constexpr Case cases[] = {{-1.0}, {5.0}};
    long tag = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nextTimeout);
        sock->readDataToData(kCRLF, 0.05, ++tag);
        ASSERT_TRUE(sendAll(client, "first\r\n"));
        ASSERT_TRUE(read(tag));
        sock->readDataToData(kCRLF, c.nextTimeout, ++tag);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(sendAll(client, "second\r\n"));
        auto event = read(tag);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->data, "second\r\n");
        EXPECT_EQ(f.delegate->count(Call::DidDisconnect, sock), 0u);
    }
}

TEST_F(AsyncSocketRead, ExtendingDelegateIsAskedAgainThenTimesOut) {
    f.delegate->implement(Call::ShouldTimeoutRead);
    f.delegate->readExtensions = {0.05};
    sock->readDataToData(kCRLF, 0.05, 7);
    ASSERT_TRUE(sendAll(client, "par"));
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketReadTimeoutError);
    std::vector<Event> questions;
    for (const Event& e : f.delegate->events()) {
        if (e.call == Call::ShouldTimeoutRead) questions.push_back(e);
    }
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].tag, 7);
    EXPECT_DOUBLE_EQ(std::stod(questions[0].data), 0.05);
    EXPECT_DOUBLE_EQ(std::stod(questions[1].data), 0.10);
}

TEST_F(AsyncSocketRead, ExtendedReadStillCompletes) {
    f.delegate->implement(Call::ShouldTimeoutRead);
    f.delegate->readExtensions = {5.0};
    sock->readDataToData(kCRLF, 0.02, 1);
    ASSERT_TRUE(f.delegate->waitFor([](const Event& e) { return e.call == Call::ShouldTimeoutRead; }));
    ASSERT_TRUE(sendAll(client, "late\r\n"));
    auto event = read(1);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->data, "late\r\n");
}

TEST_F(AsyncSocketRead, PeerCloseGivesCode7) {
    sock->readDataToData(kCRLF, -1, 1);
    ASSERT_TRUE(sendAll(client, "partial"));
    ::shutdown(client, SHUT_RDWR);
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketClosedError);
    EXPECT_EQ(event->error->description, "Socket closed by remote peer");
    EXPECT_GE(f.delegate->count(Call::DidReadPartialData, sock), 1u);
}

TEST_F(AsyncSocketRead, BytesReadAheadAreServedBeforeTheClose) {
    sock->readDataToData(kCRLF, -1, 1);
    ASSERT_TRUE(sendAll(client, "a\r\nb\r\n"));
    ::shutdown(client, SHUT_WR);
    ASSERT_TRUE(read(1));
    // The peer is gone, but "b\r\n" waits in the pre-buffer: the socket stays open for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(f.delegate->count(Call::DidDisconnect, sock), 0u);
    sock->readDataToData(kCRLF, -1, 2);
    auto second = read(2);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->data, "b\r\n");
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketClosedError);
}

TEST_F(AsyncSocketRead, HalfDuplexKeepsTheWriteSide) {
    sock->setAutoDisconnectOnClosedReadStream(false);
    sock->readData(-1, 1);
    ::shutdown(client, SHUT_WR);
    ASSERT_TRUE(f.delegate->waitFor(Call::DidCloseReadStream, sock));
    EXPECT_FALSE(sock->isDisconnected());
    sock->writeData(ByteBuffer{'b', 'y', 'e'}, -1, 2);
    EXPECT_EQ(recvN(client, 3), "bye");
    EXPECT_TRUE(f.delegate->waitFor(Call::DidWriteData, sock, 2));
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST_F(AsyncSocketRead, LargeWriteCompletesWithPartialProgress) {
    const size_t size = 64u << 20;
    ByteBuffer body(size);
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i * 131);
    auto data = std::make_shared<const ByteBuffer>(std::move(body));
    sock->writeData(data, -1, 5);
    // Nobody reads yet, so the descriptor fills and the write must stop short at least once
    // (a reader draining the loopback during the send could otherwise take it all at once).
    ASSERT_TRUE(f.delegate->waitFor(Call::DidWritePartialData, sock, 5));
    size_t received = 0;
    bool same = true;
    std::vector<char> buffer(1 << 20);
    while (received < size) {
        const ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && same; i += 4099) same = static_cast<uint8_t>(buffer[i]) == (*data)[received + i];
        received += static_cast<size_t>(n);
    }
    EXPECT_EQ(received, size);
    EXPECT_TRUE(same);
    ASSERT_TRUE(f.delegate->waitFor(Call::DidWriteData, sock, 5));
    uint64_t partial = 0;
    size_t partialCalls = 0;
    for (const Event& e : f.delegate->events()) {
        if (e.call == Call::DidWritePartialData && e.sock == sock) {
            partial += e.length;
            ++partialCalls;
        }
    }
    EXPECT_GT(partialCalls, 0u);
    EXPECT_LT(partial, size);
}

TEST_F(AsyncSocketRead, WriteTimeOutClosesWithCode5) {
    sock->writeData(ByteBuffer(64u << 20, 'w'), 0.1, 1);  // the client reads nothing
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketWriteTimeoutError);
    EXPECT_EQ(event->error->description, "Write operation timed out");
}

TEST_F(AsyncSocketRead, WriteTimeOutAskedAndExtended) {
    f.delegate->implement(Call::ShouldTimeoutWrite);
    f.delegate->writeExtensions = {0.05};
    sock->writeData(ByteBuffer(64u << 20, 'w'), 0.05, 3);
    auto event = disconnected();
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    EXPECT_EQ(event->error->code, AsyncSocketWriteTimeoutError);
    size_t questions = 0;
    for (const Event& e : f.delegate->events()) questions += e.call == Call::ShouldTimeoutWrite ? 1 : 0;
    EXPECT_EQ(questions, 2u);
}

TEST_F(AsyncSocketRead, EmptyWriteIsDropped) {
    sock->writeData(ByteBuffer{}, -1, 1);
    sock->writeData(std::shared_ptr<const ByteBuffer>(), -1, 2);
    sock->writeData(ByteBuffer{'z'}, -1, 3);
    EXPECT_EQ(recvN(client, 1), "z");
    auto event = f.delegate->waitFor([&](const Event& e) { return e.call == Call::DidWriteData && e.sock == sock; });
    ASSERT_TRUE(event);
    EXPECT_EQ(event->tag, 3);
}

TEST_F(AsyncSocketRead, WritingToAClosedPeerNeverRaisesSigpipe) {
    ::close(client);
    f.clients.clear();
    for (long tag = 0; tag < 50; ++tag) sock->writeData(ByteBuffer(65536, 'p'), -1, tag);
    auto event = disconnected();  // the process is still alive to see it
    ASSERT_TRUE(event);
    ASSERT_TRUE(event->error);
    // Whichever the socket notices first: the end of the stream or the failing write.
    const bool closedByPeer = event->error->domain == AsyncSocketErrorDomain && event->error->code == AsyncSocketClosedError;
    const bool writeFailed = event->error->domain == platform::kPosixDomain && event->error->failureReason == "Error in write() function";
    EXPECT_TRUE(closedByPeer || writeFailed) << event->error->describe();
}

// ---------------------------------------------------------------------------------------------
// Utilities

TEST(AsyncSocketUtilities, AddressesAndTerminators) {
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    const uint8_t portBytes[] = {0x7B, 0x11};
    std::memcpy(&a4.sin_port, portBytes, 2);
    inet_pton(AF_INET, "127.0.0.1", &a4.sin_addr);
    EXPECT_EQ(AsyncSocket::portFromSockaddr4(&a4), 31505);
    ByteBuffer address4(reinterpret_cast<uint8_t*>(&a4), reinterpret_cast<uint8_t*>(&a4) + sizeof a4);
    EXPECT_EQ(AsyncSocket::hostFromAddress(address4), "127.0.0.1");
    EXPECT_EQ(AsyncSocket::portFromAddress(address4), 31505);

    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    a6.sin6_port = htons(443);
    ByteBuffer address6(reinterpret_cast<uint8_t*>(&a6), reinterpret_cast<uint8_t*>(&a6) + sizeof a6);
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(AsyncSocket::getHost(&host, &port, address6));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 443);
    // An IPv6 family in a buffer of IPv4 size is refused, and so is a short buffer.
    ByteBuffer short6(address6.begin(), address6.begin() + 16);
    EXPECT_FALSE(AsyncSocket::getHost(&host, &port, short6));
    EXPECT_FALSE(AsyncSocket::getHost(nullptr, nullptr, ByteBuffer(8)));
    EXPECT_EQ(AsyncSocket::portFromAddress(short6), 0);

    EXPECT_EQ(AsyncSocket::CRLFData(), (ByteBuffer{0x0D, 0x0A}));
    EXPECT_EQ(AsyncSocket::CRData(), (ByteBuffer{0x0D}));
    EXPECT_EQ(AsyncSocket::LFData(), (ByteBuffer{0x0A}));
    EXPECT_EQ(AsyncSocket::ZeroData(), (ByteBuffer{0x00}));
}

TEST(AsyncSocketUtilities, QueueBoundAccessors) {
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    EXPECT_EQ(f.listener->socketFD(), -1);  // not on its queue
    EXPECT_EQ(f.listener->sslContext(), nullptr);
    int onQueue = -1, four = -1, six = -1;
    f.listener->performBlock([&] {
        onQueue = f.listener->socketFD();
        four = f.listener->socket4FD();
        six = f.listener->socket6FD();
    });
    EXPECT_GE(onQueue, 0);
    EXPECT_EQ(onQueue, four);
    EXPECT_GE(six, 0);
}

TEST(AsyncSocketUtilities, OnlyAQueueSerialisedWithTheSocketQueueCanBeMarked) {
    // The listener's socket queue targets `outer`; `inner` targets the socket queue.
    auto outer = DispatchQueue::createSerial("test.outer");
    auto socketQueue = DispatchQueue::createSerial("test.socket");
    socketQueue->setTargetQueue(outer);
    auto inner = DispatchQueue::createSerial("test.inner");
    inner->setTargetQueue(socketQueue);
    auto unrelated = DispatchQueue::createSerial("test.unrelated");
    auto delegate = std::make_shared<RecordingDelegate>();
    auto listener = AsyncSocket::create(delegate, DispatchQueue::createSerial("test.delegate"), socketQueue);
    ASSERT_TRUE(listener->acceptOnInterface(std::string("localhost"), 0));
    int fd = -1;
    listener->performBlock([&] { fd = listener->socket4FD(); });
    ASSERT_GE(fd, 0);
    struct Case {
        const char* name;
        std::shared_ptr<DispatchQueue> queue;
        bool markable;
        int fdOnQueueWhenMarked;
    };
    const Case cases[] = {
        {"the socket queue's target", outer, true, fd},
        {"a queue that targets the socket queue", inner, true, fd},
        // Its tasks would run alongside the socket queue's: refused.
        {"an unrelated queue", unrelated, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(listener->markSocketQueueTargetQueue(c.queue), c.markable);
        EXPECT_EQ(c.queue->syncResult([&] { return listener->socket4FD(); }), c.fdOnQueueWhenMarked);
        listener->unmarkSocketQueueTargetQueue(c.queue);
    }
    // Unmarked, the target no longer counts; a queue that targets the socket queue always does.
    EXPECT_EQ(outer->syncResult([&] { return listener->socket4FD(); }), -1);
    EXPECT_EQ(inner->syncResult([&] { return listener->socket4FD(); }), fd);
    listener->disconnect();
}

TEST(AsyncSocketUtilities, MarkedTargetQueueUsesTheSocketInlineWithoutRacingIt) {
    // Every accepted socket's queue targets `outer`, which is marked: tasks of `outer` use the
    // socket inline while the socket reads on its own queue. The sanitizer run checks that
    // the two never overlap.
    ListeningFixture f;
    ASSERT_TRUE(f.listening);
    auto outer = DispatchQueue::createSerial("test.outer");
    f.delegate->socketQueueForAccepted = [outer] {
        auto queue = DispatchQueue::createSerial("AsyncSocket");
        queue->setTargetQueue(outer);
        return queue;
    };
    int client = -1;
    auto sock = f.accept(&client);
    ASSERT_TRUE(sock);
    ASSERT_TRUE(sock->markSocketQueueTargetQueue(outer));
    constexpr long kLines = 300;
    for (long tag = 0; tag < kLines; ++tag) sock->readDataToData(kCRLF, -1, tag);
    std::thread sender([&] {
        for (long i = 0; i < kLines; ++i) sendAll(client, "line " + std::to_string(i) + "\r\n");
    });
    std::atomic<bool> allInline{true};
    std::atomic<long> looks{0};
    std::atomic<bool> done{false};
    std::function<void()> look = [&] {
        long tag = 0;
        uint64_t bytesDone = 0;
        (void)sock->progressOfRead(&tag, &bytesDone, nullptr);
        if (sock->socketFD() < 0 || !sock->isConnected()) allInline = false;
        ++looks;
        if (!done) outer->async(look);
    };
    outer->async(look);
    auto last = f.delegate->waitFor(Call::DidReadData, sock, kLines - 1);
    done = true;
    sender.join();
    outer->sync([] {});
    ASSERT_TRUE(last);
    EXPECT_EQ(last->data, "line " + std::to_string(kLines - 1) + "\r\n");
    EXPECT_TRUE(allInline);
    EXPECT_GT(looks, 0);
    EXPECT_EQ(f.delegate->count(Call::DidReadData, sock), static_cast<size_t>(kLines));
}

}  // namespace
