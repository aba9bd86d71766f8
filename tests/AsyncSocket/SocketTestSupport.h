// Test doubles for the socket tests: a delegate that records every call, plain blocking
// loopback clients, and the fixture of a test on one accepted socket.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AsyncSocket/AsyncSocket.h"
#include "tools/LoopbackClient.h"

namespace socket_test {

using Call = AsyncSocketDelegate::Call;

struct Event {
    Event(Call c, std::shared_ptr<AsyncSocket> s, long t = 0, std::string d = {})
        : call(c), sock(std::move(s)), tag(t), data(std::move(d)) {}
    Call call;
    std::shared_ptr<AsyncSocket> sock;
    long tag = 0;
    std::string data;
    uint64_t length = 0;
    std::optional<platform::Error> error;
    std::shared_ptr<AsyncSocket> newSocket;
};

class RecordingDelegate : public AsyncSocketDelegate {
public:
    RecordingDelegate()
        : implemented_{Call::DidAcceptNewSocket,  Call::DidConnectToHost, Call::DidSecure,
                       Call::DidReadPartialData,  Call::DidReadData,      Call::DidWritePartialData,
                       Call::DidWriteData,        Call::DidCloseReadStream, Call::DidDisconnect} {}

    bool respondsTo(Call call) const override {
        if (call == Call::NewSocketQueueForConnection) return static_cast<bool>(socketQueueForAccepted);
        std::lock_guard lock(mutex_);
        return implemented_.count(call) > 0;
    }
    void implement(Call call, bool yes = true) {
        std::lock_guard lock(mutex_);
        if (yes) implemented_.insert(call);
        else implemented_.erase(call);
    }

    // Answers of the time-out questions, one per question; 0 once they are used up.
    std::vector<double> readExtensions;
    std::vector<double> writeExtensions;
    std::function<void(const std::shared_ptr<AsyncSocket>&, const std::shared_ptr<AsyncSocket>&)> onAccept;
    // When set (before the socket listens), gives every accepted socket its socket queue.
    std::function<std::shared_ptr<platform::DispatchQueue>()> socketQueueForAccepted;

    std::shared_ptr<platform::DispatchQueue> newSocketQueueForConnectionFromAddress(const ByteBuffer&,
                                                                                   const std::shared_ptr<AsyncSocket>&) override {
        return socketQueueForAccepted ? socketQueueForAccepted() : nullptr;
    }

    void didAcceptNewSocket(const std::shared_ptr<AsyncSocket>& sock, const std::shared_ptr<AsyncSocket>& newSocket) override {
        if (onAccept) onAccept(sock, newSocket);
        Event e{Call::DidAcceptNewSocket, sock};
        e.newSocket = newSocket;
        record(std::move(e));
    }
    // data: the host, length: the port.
    void didConnectToHost(const std::shared_ptr<AsyncSocket>& sock, const std::string& host, uint16_t port) override {
        Event e{Call::DidConnectToHost, sock, 0, host};
        e.length = port;
        record(std::move(e));
    }
    void socketDidSecure(const std::shared_ptr<AsyncSocket>& sock) override { record(Event(Call::DidSecure, sock)); }
    void didReadPartialData(const std::shared_ptr<AsyncSocket>& sock, uint64_t length, long tag) override {
        Event e{Call::DidReadPartialData, sock, tag};
        e.length = length;
        record(std::move(e));
    }
    void didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData& data, long tag) override {
        Event e{Call::DidReadData, sock, tag, data.str()};
        e.length = data.size();
        record(std::move(e));
    }
    double shouldTimeoutRead(const std::shared_ptr<AsyncSocket>& sock, long tag, double elapsed, uint64_t bytesDone) override {
        Event e{Call::ShouldTimeoutRead, sock, tag};
        e.length = bytesDone;
        e.data = std::to_string(elapsed);
        record(std::move(e));
        std::lock_guard lock(mutex_);
        if (readExtensions.empty()) return 0;
        const double x = readExtensions.front();
        readExtensions.erase(readExtensions.begin());
        return x;
    }
    void didWritePartialData(const std::shared_ptr<AsyncSocket>& sock, uint64_t length, long tag) override {
        Event e{Call::DidWritePartialData, sock, tag};
        e.length = length;
        record(std::move(e));
    }
    void didWriteData(const std::shared_ptr<AsyncSocket>& sock, long tag) override { record(Event(Call::DidWriteData, sock, tag)); }
    double shouldTimeoutWrite(const std::shared_ptr<AsyncSocket>& sock, long tag, double, uint64_t bytesDone) override {
        Event e{Call::ShouldTimeoutWrite, sock, tag};
        e.length = bytesDone;
        record(std::move(e));
        std::lock_guard lock(mutex_);
        if (writeExtensions.empty()) return 0;
        const double x = writeExtensions.front();
        writeExtensions.erase(writeExtensions.begin());
        return x;
    }
    void socketDidCloseReadStream(const std::shared_ptr<AsyncSocket>& sock) override { record(Event(Call::DidCloseReadStream, sock)); }
    void socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>& error) override {
        Event e{Call::DidDisconnect, sock};
        e.error = error;
        record(std::move(e));
    }

    // Waits for the first event that matches and returns it. The limit only bounds a failing
    // test: a sanitizer build on a loaded machine moves 16 MiB through TLS slowly.
    std::optional<Event> waitFor(const std::function<bool(const Event&)>& match,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex_);
        std::optional<Event> found;
        cv_.wait_for(lock, timeout, [&] {
            for (const Event& e : events_) {
                if (match(e)) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::optional<Event> waitFor(Call call, const std::shared_ptr<AsyncSocket>& sock, std::optional<long> tag = std::nullopt) {
        return waitFor([&](const Event& e) { return e.call == call && e.sock == sock && (!tag || e.tag == *tag); });
    }
    // The event number n (from 0) of the call on the socket, waiting for it.
    std::optional<Event> waitForNth(Call call, const std::shared_ptr<AsyncSocket>& sock, size_t n) {
        std::unique_lock lock(mutex_);
        std::optional<Event> found;
        cv_.wait_for(lock, std::chrono::seconds(10), [&] {
            size_t seen = 0;
            for (const Event& e : events_) {
                if (e.call == call && e.sock == sock && seen++ == n) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    size_t count(Call call, const std::shared_ptr<AsyncSocket>& sock) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const Event& e : events_) n += (e.call == call && e.sock == sock) ? 1 : 0;
        return n;
    }
    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    void record(Event e) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(e));
        }
        cv_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::set<Call> implemented_;
    std::vector<Event> events_;
};

using testtools::connectClient;
using testtools::freePort;

inline bool sendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until n bytes arrived or the stream ended.
inline std::string recvN(int fd, size_t n) {
    std::string got;
    char buffer[65536];
    while (got.size() < n) {
        const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buffer, static_cast<size_t>(r));
    }
    return got;
}

// A start (accept or connect) that the socket must refuse with its own error.
struct RefusedStart {
    const char* name;
    std::function<bool(platform::Error*)> start;
    long code;
    const char* description;
};

inline void expectRefused(const std::vector<RefusedStart>& cases) {
    for (const RefusedStart& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        EXPECT_FALSE(c.start(&error));
        EXPECT_EQ(error.domain, AsyncSocketErrorDomain);
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.description, c.description);
    }
}

// A listening socket on "localhost" with the recording delegate, and its accepted sockets.
class ListeningFixture {
public:
    ListeningFixture() {
        delegate = std::make_shared<RecordingDelegate>();
        delegateQueue = platform::DispatchQueue::createSerial("test.delegate");
        listener = AsyncSocket::create(delegate, delegateQueue);
        platform::Error error;
        listening = listener->acceptOnInterface(std::string("localhost"), 0, &error);
        port = listener->localPort();
    }
    ~ListeningFixture() {
        for (int fd : clients) ::close(fd);
        for (auto& s : accepted) s->disconnect();
        listener->disconnect();
        delegateQueue->sync([] {});
    }

    // Connects a client and returns the accepted socket (nullptr on failure).
    std::shared_ptr<AsyncSocket> accept(int* clientFD, int family = AF_INET) {
        const size_t before = delegate->count(Call::DidAcceptNewSocket, listener);
        const int fd = connectClient(port, family);
        if (fd < 0) return nullptr;
        clients.push_back(fd);
        *clientFD = fd;
        auto event = delegate->waitForNth(Call::DidAcceptNewSocket, listener, before);
        if (!event) return nullptr;
        accepted.push_back(event->newSocket);
        return event->newSocket;
    }

    // Client sockets made now and connected later, by connectClients(): a case that runs out
    // of descriptors makes them while there are some. Closed with the fixture; empty when one
    // cannot be made.
    std::vector<int> makeClients(size_t n) {
        std::vector<int> made;
        for (size_t i = 0; i < n; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) return {};
            clients.push_back(fd);
            made.push_back(fd);
        }
        return made;
    }
    // Connects each of them to the listener; false, with the reason in errno, at a failure.
    bool connectClients(const std::vector<int>& made) const {
        const testtools::LoopbackAddress address = testtools::loopbackAddress(AF_INET, port);
        for (int fd : made) {
            if (::connect(fd, address.get(), address.length) != 0) return false;
        }
        return true;
    }

    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<platform::DispatchQueue> delegateQueue;
    std::shared_ptr<AsyncSocket> listener;
    bool listening = false;
    uint16_t port = 0;
    std::vector<int> clients;
    std::vector<std::shared_ptr<AsyncSocket>> accepted;
};

// A test with one accepted socket (sock) and its plain client (client).
class AcceptedSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.listening);
        sock = f.accept(&client);
        ASSERT_TRUE(sock);
    }
    std::optional<Event> read(long tag) { return f.delegate->waitFor(Call::DidReadData, sock, tag); }
    std::optional<Event> disconnected() { return f.delegate->waitFor(Call::DidDisconnect, sock); }

    ListeningFixture f;
    int client = -1;
    std::shared_ptr<AsyncSocket> sock;
};

}  // namespace socket_test
