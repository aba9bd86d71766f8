#include "Platform/Dispatch/DispatchSource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/Semaphore.h"
#include "Platform/ThreadInfo.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 5s;  // only reached when something is broken

class SocketPair {
public:
    SocketPair() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_), 0);
    }
    ~SocketPair() {
        closeLocal();
        closePeer();
    }
    int local() const { return fds_[0]; }
    int peer() const { return fds_[1]; }
    void send(const std::string& bytes) { ASSERT_EQ(::write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    void closeLocal() {
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
    }
    void closePeer() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        fds_[1] = -1;
    }

private:
    int fds_[2] = {-1, -1};
};

// Records what each event delivered, on the source's queue.
struct Recorder {
    std::mutex mutex;
    std::vector<uint64_t> data;
    Semaphore events;
    void add(uint64_t d) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            data.push_back(d);
        }
        events.signal();
    }
    std::vector<uint64_t> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return data;
    }
};

TEST(DispatchSourceTest, ReadSourceReportsBytesReadableThenZeroAtEndOfStream) {
    SocketPair pair;
    auto queue = DispatchQueue::createSerial("test.read");
    auto source = DispatchSource::makeRead(pair.local(), queue);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->type(), DispatchSource::Type::Read);
    EXPECT_EQ(source->fd(), pair.local());
    Recorder rec;
    std::string received;
    std::atomic<bool> onQueue{true};
    source->setEventHandler([&] {
        if (DispatchQueue::current() != queue.get()) onQueue = false;
        uint64_t n = source->data();
        std::string buf(n, '\0');
        if (n > 0) {
            ssize_t r = ::read(pair.local(), buf.data(), n);
            received.append(buf.data(), r > 0 ? static_cast<size_t>(r) : 0);
        } else {
            source->cancel();  // end of stream: stop, as a reader would
        }
        rec.add(n);
    });
    Semaphore cancelled;
    source->setCancelHandler([&] { cancelled.signal(); });
    pair.send("hello");
    source->resume();
    ASSERT_TRUE(rec.events.wait(kPatience));
    pair.send("abc");
    ASSERT_TRUE(rec.events.wait(kPatience));
    pair.closePeer();
    ASSERT_TRUE(rec.events.wait(kPatience));
    ASSERT_TRUE(cancelled.wait(kPatience));
    EXPECT_EQ(rec.snapshot(), (std::vector<uint64_t>{5, 3, 0}));
    EXPECT_EQ(received, "helloabc");
    EXPECT_TRUE(onQueue);
}

// Bytes left unread are reported again, whether or not new ones arrive; a handler that says it
// has read everything (markDrained) still hears of bytes and of an end of stream that came
// while it ran or that were already behind the bytes it read.
TEST(DispatchSourceTest, ReadSourceReportsWhatIsLeftAndWhatCameWhileTheHandlerRan) {
    struct Case {
        const char* name;
        std::string before;       // sent before the source starts
        bool closeBefore;         // and then the peer closes
        bool startFirst;          // "before" and the close come once the source waits instead
        std::size_t readAtMost;   // per event; 0: all that data() reports
        std::string duringFirst;  // sent by the first event's handler after its read
        bool closeDuringFirst;    // the peer closes in the first event's handler
        bool drained;             // the handler calls markDrained() after its read
        std::vector<uint64_t> expected;
        std::string received;
    };
    const Case cases[] = {
        {"bytes left unread", "abcdef", false, false, 2, "", false, false, {6, 4, 2}, "abcdef"},
        {"bytes sent while a drained handler runs", "ab", false, false, 0, "cd", false, true, {2, 2}, "abcd"},
        {"end of stream behind the bytes a drained handler read", "ab", true, false, 0, "", false, true, {2, 0}, "ab"},
        // Most often one event reports the bytes and the end together.
        {"bytes and end of stream while the source waits", "ab", true, true, 0, "", false, true, {2, 0}, "ab"},
        {"end of stream while a drained handler runs", "ab", false, false, 0, "", true, true, {2, 0}, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        auto queue = DispatchQueue::createSerial("test.level");
        auto source = DispatchSource::makeRead(pair.local(), queue);
        ASSERT_NE(source, nullptr);
        Recorder rec;
        std::string received;
        bool first = true;
        source->setEventHandler([&] {
            const uint64_t n = source->data();
            if (n == 0) {
                source->cancel();
            } else {
                std::string buf(c.readAtMost > 0 ? std::min<uint64_t>(n, c.readAtMost) : n, '\0');
                const ssize_t r = ::read(pair.local(), buf.data(), buf.size());
                received.append(buf.data(), r > 0 ? static_cast<std::size_t>(r) : 0);
                if (first && !c.duringFirst.empty()) pair.send(c.duringFirst);
                if (first && c.closeDuringFirst) pair.closePeer();
                if (c.drained) source->markDrained();
            }
            first = false;
            rec.add(n);
        });
        if (c.startFirst) {
            source->resume();
            std::this_thread::sleep_for(20ms);
        }
        pair.send(c.before);
        if (c.closeBefore) pair.closePeer();
        if (!c.startFirst) source->resume();
        for (std::size_t i = 0; i < c.expected.size(); ++i) ASSERT_TRUE(rec.events.wait(kPatience)) << "event " << i;
        EXPECT_FALSE(rec.events.wait(50ms));
        EXPECT_EQ(rec.snapshot(), c.expected);
        queue->sync([&] { EXPECT_EQ(received, c.received); });
        source->cancel();
        queue->sync([] {});
    }
}

TEST(DispatchSourceTest, ReadinessUsedUpBeforeTheHandlerRunsIsNotTakenForEndOfStream) {
    // An event seen while suspended, whose bytes a read took meanwhile, must not reach the
    // handler as 0: a reader would take the live peer for a closed one.
    struct Case {
        const char* name;
        bool pipe;
    };
    for (const Case& c : {Case{"socketpair", false}, Case{"pipe", true}}) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(c.pipe ? ::pipe2(fds, O_NONBLOCK | O_CLOEXEC)
                         : ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds),
                  0);
        const int readEnd = fds[0];
        const int writeEnd = fds[1];
        auto queue = DispatchQueue::createSerial("test.stale");
        auto source = DispatchSource::makeRead(readEnd, queue);
        ASSERT_NE(source, nullptr);
        Recorder rec;
        source->setEventHandler([&] {
            uint64_t n = source->data();
            char buf[16];
            if (n > 0) {
                ASSERT_GT(::read(readEnd, buf, sizeof buf), 0);
            }
            rec.add(n);
            source->suspend();
        });
        source->resume();
        ASSERT_EQ(::write(writeEnd, "a", 1), 1);
        ASSERT_TRUE(rec.events.wait(kPatience));  // handler ran and suspended the source
        ASSERT_EQ(::write(writeEnd, "b", 1), 1);
        queue->sync([&] {
            // Armed again while this task holds the queue: the event is posted behind us, and
            // we take the byte before the handler can run.
            source->resume();
            std::this_thread::sleep_for(20ms);
            char buf[16];
            ASSERT_EQ(::read(readEnd, buf, sizeof buf), 1);
        });
        EXPECT_FALSE(rec.events.wait(30ms));
        // Still armed from the resume above: the end of the stream reaches the handler as 0,
        // which suspends the source again.
        ::close(writeEnd);
        ASSERT_TRUE(rec.events.wait(kPatience));
        EXPECT_EQ(rec.snapshot(), (std::vector<uint64_t>{1, 0}));
        source->cancel();
        queue->sync([&] { source->resume(); });  // a cancelled source ends once resumed
        queue->sync([] {});
        ::close(readEnd);
    }
}

TEST(DispatchSourceTest, ListeningSocketReportsHowManyConnectionsArePending) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    // A burst of three, all in the listen queue before the source starts.
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        clients.push_back(client);
    }
    // The loopback may finish a handshake just after connect() returns.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        tcp_info info{};
        socklen_t infoLength = sizeof info;
        ASSERT_EQ(::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &infoLength), 0);
        if (info.tcpi_unacked == 3) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(1ms);
    }

    auto queue = DispatchQueue::createSerial("test.listen");
    auto source = DispatchSource::makeRead(listener, queue);
    ASSERT_NE(source, nullptr);
    Recorder rec;
    source->setEventHandler([&] {
        rec.add(source->data());
        int accepted = ::accept(listener, nullptr, nullptr);
        if (accepted >= 0) ::close(accepted);
    });
    source->resume();
    // One accepted per event: the count goes down with each.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(rec.events.wait(kPatience));
    EXPECT_EQ(rec.snapshot(), (std::vector<uint64_t>{3, 2, 1}));
    source->cancel();
    queue->sync([] {});
    for (int client : clients) ::close(client);
    ::close(listener);
}

// An unnamed regular file of `size` bytes, positioned at `at`; -1 when it cannot be made.
int regularFile(size_t size, off_t at) {
    char path[] = "/tmp/pellix-dispatch-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return -1;
    ::unlink(path);
    const std::string content(size, 'x');
    if (::write(fd, content.data(), size) != static_cast<ssize_t>(size) || ::lseek(fd, at, SEEK_SET) != at) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(DispatchSourceTest, RegularFileIsReadableWithTheBytesLeft) {
    const int fd = regularFile(100, 30);
    ASSERT_GE(fd, 0);

    auto queue = DispatchQueue::createSerial("test.file");
    auto source = DispatchSource::makeRead(fd, queue);
    ASSERT_NE(source, nullptr);
    Recorder rec;
    source->setEventHandler([&] {
        uint64_t n = source->data();
        rec.add(n);
        if (n == 0) {
            source->cancel();
            return;
        }
        char buf[50];
        ASSERT_GT(::read(fd, buf, sizeof buf), 0);
    });
    source->resume();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(rec.events.wait(kPatience));
    queue->sync([] {});
    EXPECT_EQ(rec.snapshot(), (std::vector<uint64_t>{70, 20, 0}));
    ::close(fd);
}

// A file response reads a regular file this way: each resume gives one event, the handler
// reads and suspends the source again; a source cancelled while suspended closes the file
// (its cancel handler) once it is resumed.
TEST(DispatchSourceTest, RegularFileGivesOneEventPerResume) {
    const int fd = regularFile(25, 0);
    ASSERT_GE(fd, 0);

    auto queue = DispatchQueue::createSerial("test.file.resume");
    auto source = DispatchSource::makeRead(fd, queue);
    ASSERT_NE(source, nullptr);
    Recorder rec;
    Semaphore cancelled;
    source->setEventHandler([&] {
        rec.add(source->data());
        char buf[10];
        EXPECT_GE(::read(fd, buf, sizeof buf), 0);
        source->suspend();
    });
    source->setCancelHandler([&] {
        ::close(fd);
        cancelled.signal();
    });
    for (uint64_t left : {25, 15, 5, 0}) {
        SCOPED_TRACE(left);
        queue->sync([&] { source->resume(); });
        ASSERT_TRUE(rec.events.wait(kPatience));
        EXPECT_FALSE(rec.events.wait(50ms));  // suspended again: no second event
        EXPECT_EQ(rec.snapshot().back(), left);
    }
    source->cancel();
    EXPECT_FALSE(cancelled.wait(50ms));  // still suspended
    source->resume();
    EXPECT_TRUE(cancelled.wait(kPatience));
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST(DispatchSourceTest, BadDescriptorGivesNoSource) {
    auto queue = DispatchQueue::createSerial("test.bad");
    SocketPair pair;
    // A first source starts the reactor, so that its own descriptors are not the ones we
    // close below.
    ASSERT_NE(DispatchSource::makeRead(pair.local(), queue), nullptr);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    for (int fd : {-1, fds[0], 100000}) {
        SCOPED_TRACE(fd);
        errno = 0;
        EXPECT_EQ(DispatchSource::makeRead(fd, queue), nullptr);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(DispatchSource::makeWrite(fd, queue), nullptr);
    }
    EXPECT_EQ(DispatchSource::makeRead(pair.local(), nullptr), nullptr);
}

TEST(DispatchSourceTest, ReadAndWriteSourcesShareOneDescriptor) {
    SocketPair pair;
    auto queue = DispatchQueue::createSerial("test.both");
    auto reader = DispatchSource::makeRead(pair.local(), queue);
    auto writer = DispatchSource::makeWrite(pair.local(), queue);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);
    Recorder reads;
    Recorder writes;
    reader->setEventHandler([&] {
        char buf[16];
        ssize_t r = ::read(pair.local(), buf, sizeof buf);
        reads.add(r > 0 ? static_cast<uint64_t>(r) : 0);
        reader->suspend();
    });
    writer->setEventHandler([&] {
        writes.add(writer->data());
        writer->suspend();  // a writer with nothing more to send stops its source
    });
    writer->resume();
    ASSERT_TRUE(writes.events.wait(kPatience));
    EXPECT_GE(writes.snapshot().at(0), 1u);
    reader->resume();
    pair.send("ping");
    ASSERT_TRUE(reads.events.wait(kPatience));
    EXPECT_EQ(reads.snapshot().at(0), 4u);
    writer->resume();
    ASSERT_TRUE(writes.events.wait(kPatience));
    reader->resume();
    writer->resume();
    reader->cancel();
    writer->cancel();
    queue->sync([] {});
}

TEST(DispatchSourceTest, CancelHandlerRunsOnceAfterTheLastEventHandler) {
    SocketPair pair;
    auto queue = DispatchQueue::createSerial("test.cancel");
    auto source = DispatchSource::makeRead(pair.local(), queue);
    ASSERT_NE(source, nullptr);
    std::atomic<bool> inHandler{false};
    std::atomic<int> cancels{0};
    std::atomic<bool> cancelDuringHandler{false};
    Semaphore handlerStarted;
    Semaphore letHandlerFinish;
    Semaphore cancelled;
    source->setEventHandler([&] {
        inHandler = true;
        handlerStarted.signal();
        letHandlerFinish.wait(kPatience);
        inHandler = false;
    });
    source->setCancelHandler([&] {
        if (inHandler) cancelDuringHandler = true;
        ++cancels;
        cancelled.signal();
    });
    pair.send("x");
    source->resume();
    ASSERT_TRUE(handlerStarted.wait(kPatience));
    source->cancel();  // from another thread, while the handler runs
    source->cancel();
    EXPECT_TRUE(source->isCancelled());
    EXPECT_FALSE(cancelled.wait(20ms));
    letHandlerFinish.signal();
    ASSERT_TRUE(cancelled.wait(kPatience));
    pair.send("more");  // no events after the cancel
    EXPECT_FALSE(handlerStarted.wait(30ms));
    queue->sync([] {});
    EXPECT_EQ(cancels, 1);
    EXPECT_FALSE(cancelDuringHandler);
}

TEST(DispatchSourceTest, CancelHandlerOfASuspendedSourceWaitsForResume) {
    auto queue = DispatchQueue::createSerial("test.cancelsuspended");
    auto source = DispatchSource::makeTimer(queue);
    Semaphore cancelled;
    source->setCancelHandler([&] { cancelled.signal(); });
    source->cancel();  // still suspended from creation
    EXPECT_FALSE(cancelled.wait(30ms));
    source->resume();
    EXPECT_TRUE(cancelled.wait(kPatience));
}

TEST(DispatchSourceTest, SuspendAndResumeAreCounted) {
    SocketPair pair;
    auto queue = DispatchQueue::createSerial("test.suspend");
    auto source = DispatchSource::makeRead(pair.local(), queue);
    ASSERT_NE(source, nullptr);
    Recorder rec;
    source->setEventHandler([&] {
        char buf[16];
        ssize_t r = ::read(pair.local(), buf, sizeof buf);
        rec.add(r > 0 ? static_cast<uint64_t>(r) : 0);
    });
    pair.send("a");
    EXPECT_FALSE(rec.events.wait(30ms)) << "created suspended";
    source->suspend();  // count 2
    source->resume();   // count 1
    EXPECT_FALSE(rec.events.wait(30ms));
    source->resume();  // count 0: the event that waited is delivered
    ASSERT_TRUE(rec.events.wait(kPatience));
    source->suspend();
    source->suspend();
    pair.send("bb");
    source->resume();
    EXPECT_FALSE(rec.events.wait(30ms));
    source->resume();
    ASSERT_TRUE(rec.events.wait(kPatience));
    EXPECT_EQ(rec.snapshot(), (std::vector<uint64_t>{1, 2}));
    source->cancel();
    queue->sync([] {});
}

TEST(DispatchSourceTest, TimersFireOnceOrRepeatedly) {
    auto queue = DispatchQueue::createSerial("test.timer");
    struct Case {
        const char* name;
        std::chrono::nanoseconds interval;
        int minFires;
        int maxFires;
    };
    const Case cases[] = {
        {"once (kForever)", DispatchSource::kForever, 1, 1},
        {"once (zero)", 0ns, 1, 1},
        {"repeating", 5ms, 4, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto timer = DispatchSource::makeTimer(queue);
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(timer->fd(), -1);
        std::atomic<uint64_t> fires{0};
        std::atomic<bool> onQueue{true};
        Semaphore fired;
        timer->setEventHandler([&] {
            if (DispatchQueue::current() != queue.get()) onQueue = false;
            fires += timer->data();
            fired.signal();
        });
        timer->setTimer(5ms, c.interval, 1ms);
        timer->resume();
        for (int i = 0; i < c.minFires; ++i) ASSERT_TRUE(fired.wait(kPatience));
        std::this_thread::sleep_for(30ms);
        timer->cancel();
        queue->sync([] {});
        EXPECT_GE(fires.load(), static_cast<uint64_t>(c.minFires));
        EXPECT_LE(fires.load(), static_cast<uint64_t>(c.maxFires));
        EXPECT_TRUE(onQueue);
    }
}

// With no worker idle, because every one blocks or runs a long task, a descriptor event, a
// timer source and an after() must still be served: at once while they block (the pool adds a
// thread for the work), and as soon as a worker is free while they are busy. Whoever watches
// the descriptors and timers must not depend on a worker falling idle.
TEST(DispatchSourceTest, EventsAndTimersAreServedWhileNoWorkerIsIdle) {
    struct Case {
        const char* name;
        bool block;  // wait on a semaphore (blocked) or spin (busy)
    };
    const Case cases[] = {{"every worker blocked", true}, {"every worker busy", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        struct Occupier {
            Semaphore started;
            Semaphore release;
            std::atomic<bool> stop{false};
        };
        auto occupier = std::make_shared<Occupier>();  // outlives a failed case's tasks
        std::vector<std::shared_ptr<DispatchQueue>> occupied;
        const unsigned count = processorCount() + 2;
        for (unsigned i = 0; i < count; ++i) {
            occupied.push_back(DispatchQueue::createSerial("test.occupied"));
            occupied.back()->async([occupier, block = c.block] {
                occupier->started.signal();
                if (block) {
                    occupier->release.wait();
                } else {
                    while (!occupier->stop.load()) std::this_thread::yield();
                }
            });
        }
        if (c.block)
            for (unsigned i = 0; i < count; ++i) ASSERT_TRUE(occupier->started.wait(kPatience));
        else
            ASSERT_TRUE(occupier->started.wait(kPatience));

        auto queue = DispatchQueue::createSerial("test.served");
        SocketPair pair;
        auto read = DispatchSource::makeRead(pair.local(), queue);
        ASSERT_NE(read, nullptr);
        Semaphore readable;
        read->setEventHandler([&] {
            char buf[8];
            while (::read(pair.local(), buf, sizeof buf) > 0) {
            }
            readable.signal();
        });
        read->resume();
        auto timer = DispatchSource::makeTimer(queue);
        Semaphore fired;
        timer->setEventHandler([&] { fired.signal(); });
        timer->setTimer(5ms, DispatchSource::kForever, 1ms);
        timer->resume();
        Semaphore after;
        queue->after(5ms, [&] { after.signal(); });
        pair.send("x");

        if (c.block) {
            EXPECT_TRUE(readable.wait(kPatience));
            EXPECT_TRUE(fired.wait(kPatience));
            EXPECT_TRUE(after.wait(kPatience));
        } else {
            std::this_thread::sleep_for(50ms);
        }
        occupier->stop = true;
        for (unsigned i = 0; i < count; ++i) occupier->release.signal();
        if (!c.block) {
            EXPECT_TRUE(readable.wait(kPatience));
            EXPECT_TRUE(fired.wait(kPatience));
            EXPECT_TRUE(after.wait(kPatience));
        }
        for (auto& q : occupied) q->sync([] {});
        read->cancel();
        timer->cancel();
        queue->sync([] {});
    }
}

// Between rounds the pool goes idle, so its spinning worker takes socket events itself while
// the reactor thread is woken for the same ones: each byte must reach its handler exactly once,
// with no event lost and none reported as an end of stream.
TEST(DispatchSourceTest, EventsTakenByAnIdleWorkerOrTheReactorAreDeliveredOnce) {
    constexpr int kSockets = 16;
    constexpr int kRounds = 1000;
    struct Reader {
        SocketPair pair;
        std::shared_ptr<DispatchQueue> queue = DispatchQueue::createSerial("test.idle-take");
        std::shared_ptr<DispatchSource> source;
        std::atomic<int> running{0};
        std::atomic<bool> overlapped{false};
        std::atomic<bool> sawEnd{false};
        long bytes = 0;  // on queue
    };
    std::vector<std::unique_ptr<Reader>> readers;
    Semaphore arrived;
    for (int i = 0; i < kSockets; ++i) {
        auto reader = std::make_unique<Reader>();
        Reader* r = reader.get();
        r->source = DispatchSource::makeRead(r->pair.local(), r->queue);
        ASSERT_NE(r->source, nullptr);
        r->source->setEventHandler([r, &arrived] {
            if (r->running.fetch_add(1) != 0) r->overlapped = true;
            const uint64_t n = r->source->data();
            if (n == 0) r->sawEnd = true;
            char buf[64];
            ssize_t got;
            while ((got = ::read(r->pair.local(), buf, sizeof buf)) > 0) {
                r->bytes += got;
                for (ssize_t k = 0; k < got; ++k) arrived.signal();
            }
            r->source->markDrained();
            r->running.fetch_sub(1);
        });
        r->source->resume();
        readers.push_back(std::move(reader));
    }
    for (int round = 0; round < kRounds; ++round) {
        for (auto& r : readers) r->pair.send("x");
        for (int i = 0; i < kSockets; ++i) ASSERT_TRUE(arrived.wait(kPatience)) << "round " << round;
    }
    for (auto& r : readers) {
        r->source->cancel();
        r->queue->sync([] {});
        EXPECT_EQ(r->bytes, kRounds);
        EXPECT_FALSE(r->overlapped);
        EXPECT_FALSE(r->sawEnd);
    }
}

TEST(DispatchSourceTest, TimerFiresWhileSuspendedAreDeliveredAsOneCount) {
    auto queue = DispatchQueue::createSerial("test.timersuspend");
    auto timer = DispatchSource::makeTimer(queue);
    Recorder rec;
    timer->setEventHandler([&] {
        rec.add(timer->data());
        timer->cancel();
    });
    timer->setTimer(1ms, 2ms, 0ns);
    std::this_thread::sleep_for(30ms);  // still suspended from creation
    timer->resume();
    ASSERT_TRUE(rec.events.wait(kPatience));
    queue->sync([] {});
    ASSERT_EQ(rec.snapshot().size(), 1u);
    EXPECT_GE(rec.snapshot()[0], 5u);
}

TEST(DispatchSourceTest, SettingTheTimerAgainReplacesTheSchedule) {
    auto queue = DispatchQueue::createSerial("test.timerreset");
    auto timer = DispatchSource::makeTimer(queue);
    Semaphore fired;
    timer->setEventHandler([&] { fired.signal(); });
    timer->setTimer(10ms, DispatchSource::kForever, 0ns);
    timer->setTimer(DispatchSource::kForever, DispatchSource::kForever, 0ns);  // never
    timer->resume();
    EXPECT_FALSE(fired.wait(50ms));
    timer->setTimer(1ms, DispatchSource::kForever, 0ns);
    EXPECT_TRUE(fired.wait(kPatience));
    timer->cancel();
    queue->sync([] {});
}

// A timer set again to a later deadline (or stopped and set again) keeps its earlier reactor
// entry; that entry firing must neither deliver early nor lose the fire at the real deadline.
TEST(DispatchSourceTest, TimerSetAgainFiresOnceAtTheLastDeadline) {
    using Clock = std::chrono::steady_clock;
    struct Step {
        std::chrono::nanoseconds start;  // kForever: stop
        std::chrono::milliseconds pauseAfter;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"moved later", {{20ms, 0ms}, {80ms, 0ms}}},
        {"moved earlier", {{10s, 0ms}, {5ms, 0ms}}},
        {"stopped, then set later", {{20ms, 0ms}, {DispatchSource::kForever, 0ms}, {60ms, 0ms}}},
        {"stopped past the old entry, then set", {{10ms, 0ms}, {DispatchSource::kForever, 40ms}, {10ms, 0ms}}},
        {"extended again and again", {{30ms, 10ms}, {30ms, 10ms}, {30ms, 10ms}, {30ms, 10ms}, {30ms, 10ms}, {30ms, 0ms}}},
    };
    auto queue = DispatchQueue::createSerial("test.timerextend");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto timer = DispatchSource::makeTimer(queue);
        std::mutex mutex;
        std::vector<Clock::time_point> fires;
        Semaphore fired;
        timer->setEventHandler([&] {
            {
                std::lock_guard<std::mutex> lock(mutex);
                fires.push_back(Clock::now());
            }
            fired.signal();
        });
        timer->resume();
        Clock::time_point due;
        for (const Step& step : c.steps) {
            if (step.start != DispatchSource::kForever) due = Clock::now() + step.start;
            timer->setTimer(step.start, DispatchSource::kForever, 0ns);
            std::this_thread::sleep_for(step.pauseAfter);
        }
        ASSERT_TRUE(fired.wait(kPatience));
        std::this_thread::sleep_for(30ms);  // room for a second, wrong fire
        timer->cancel();
        queue->sync([] {});
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(fires.size(), 1u);
        EXPECT_GE(fires[0], due);
    }
}

TEST(DispatchSourceTest, CancellingReleasesTheHandlers) {
    auto queue = DispatchQueue::createSerial("test.release");
    auto timer = DispatchSource::makeTimer(queue);
    auto token = std::make_shared<int>(1);
    std::weak_ptr<int> watch = token;
    timer->setEventHandler([token] {});
    timer->setCancelHandler([token] {});
    token.reset();
    EXPECT_FALSE(watch.expired());
    timer->resume();
    timer->cancel();
    queue->sync([] {});
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace platform
