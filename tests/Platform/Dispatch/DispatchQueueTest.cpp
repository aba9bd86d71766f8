#include "Platform/Dispatch/DispatchQueue.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include "tools/ProcessThreads.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Dispatch/Semaphore.h"
#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 5s;  // only reached when something is broken

using testtools::threadsOfProcess;

// Collects the plain log lines while alive, without writing them to stderr.
class LogCapture {
public:
    LogCapture() {
        setPlainLogOutputEnabled(false);
        setPlainLogCapture([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() {
        setPlainLogCapture(nullptr);
        setPlainLogOutputEnabled(true);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Many producers against one serial queue: nothing lost or run twice, each producer's tasks in
// its order, never two at once. In the second case the tasks are so short, and the producers
// pause so often, that the queue keeps falling idle: every push races with the queue giving up
// its turn, and a sync now and then takes the turn inline.
TEST(DispatchQueueTest, KeepsFifoOrderPerProducerAndRunsOneTaskAtATime) {
    struct Case {
        const char* name;
        int tasks;
        int syncEvery;   // 0: async only
        int pauseEvery;  // 0: no pauses
    };
    constexpr Case kCases[] = {{"steady stream", 2000, 0, 0}, {"falling idle, with syncs", 5000, 97, 64}};
    constexpr int kProducers = 8;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        auto queue = DispatchQueue::createSerial("test.fifo");
        std::vector<std::vector<int>> seen(kProducers);  // touched only by the queue's tasks
        std::atomic<int> running{0};
        std::atomic<bool> overlapped{false};
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                for (int i = 0; i < c.tasks; ++i) {
                    auto task = [&, p, i] {
                        if (running.fetch_add(1) != 0) overlapped = true;
                        seen[p].push_back(i);
                        running.fetch_sub(1);
                    };
                    if (c.syncEvery != 0 && i % c.syncEvery == 0)
                        queue->sync(task);
                    else
                        queue->async(task);
                    if (c.pauseEvery != 0 && i % c.pauseEvery == 0) std::this_thread::sleep_for(10us);
                }
            });
        }
        for (auto& t : producers) t.join();
        queue->sync([] {});
        EXPECT_FALSE(overlapped);
        for (int p = 0; p < kProducers; ++p) {
            SCOPED_TRACE(p);
            ASSERT_EQ(seen[p].size(), static_cast<size_t>(c.tasks));
            for (int i = 0; i < c.tasks; ++i) ASSERT_EQ(seen[p][i], i);
        }
    }
}

TEST(DispatchQueueTest, SyncFromAnotherQueueRunsOnTheTargetAndReturnsItsResult) {
    auto outer = DispatchQueue::createSerial("test.outer");
    auto inner = DispatchQueue::createSerial("test.inner");
    std::string labelInside;
    std::string labelAfter;
    DispatchQueue* currentInside = nullptr;
    int result = outer->syncResult([&] {
        int r = inner->syncResult([&] {
            labelInside = DispatchQueue::currentLabel();
            currentInside = DispatchQueue::current();
            return 42;
        });
        labelAfter = DispatchQueue::currentLabel();
        return r;
    });
    EXPECT_EQ(result, 42);
    EXPECT_EQ(labelInside, "test.inner");
    EXPECT_EQ(currentInside, inner.get());
    EXPECT_EQ(labelAfter, "test.outer");
    EXPECT_EQ(DispatchQueue::current(), nullptr);
    // The test runs on the main thread: outside every queue's task that is the main queue.
    EXPECT_EQ(DispatchQueue::currentLabel(), DispatchQueue::mainQueueLabel());
}

// The pattern the socket layer uses: an operation asked from a delegate call that already
// runs on the socket's queue must run inline instead of waiting for that queue.
class Guarded {
public:
    Guarded() : queue_(DispatchQueue::createSerial("test.guarded")) { queue_->setSpecific(&key_, this); }
    int value() {
        if (DispatchQueue::getSpecific(&key_) == this) return value_;
        return queue_->syncResult([this] { return value_; });
    }
    std::shared_ptr<DispatchQueue> queue() const { return queue_; }

private:
    static inline int key_ = 0;
    std::shared_ptr<DispatchQueue> queue_;
    int value_ = 7;
};

TEST(DispatchQueueTest, QueueSpecificKeyLetsACallOnTheQueueRunInline) {
    Guarded guarded;
    Guarded other;
    EXPECT_EQ(guarded.value(), 7);  // from no queue: waits for the queue
    Semaphore done;
    int fromInside = 0;
    int fromOtherQueue = 0;
    guarded.queue()->async([&] {
        fromInside = guarded.value();            // inline, no deadlock
        fromOtherQueue = other.value();          // another object's queue: a real sync
        done.signal();
    });
    ASSERT_TRUE(done.wait(kPatience));
    EXPECT_EQ(fromInside, 7);
    EXPECT_EQ(fromOtherQueue, 7);

    int key = 0;
    auto queue = DispatchQueue::createSerial("test.keys");
    int value = 1;
    queue->setSpecific(&key, &value);
    EXPECT_EQ(queue->getSpecificOfQueue(&key), &value);
    EXPECT_EQ(DispatchQueue::getSpecific(&key), nullptr);  // not on the queue
    EXPECT_EQ(queue->syncResult([&] { return DispatchQueue::getSpecific(&key); }), &value);
    queue->setSpecific(&key, nullptr);
    EXPECT_EQ(queue->getSpecificOfQueue(&key), nullptr);
}

TEST(DispatchQueueTest, SyncOnTheQueueItselfRunsInlineInsteadOfDeadlocking) {
    LogCapture log;
    auto queue = DispatchQueue::createSerial("test.self");
    int ran = queue->syncResult([&] { return queue->syncResult([] { return 5; }); });
    EXPECT_EQ(ran, 5);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(DispatchQueueTest, SyncHandsTheBlocksExceptionToTheCaller) {
    auto queue = DispatchQueue::createSerial("test.syncthrow");
    EXPECT_THROW(queue->syncResult([]() -> int { throw std::runtime_error("no value"); }), std::runtime_error);
    EXPECT_EQ(queue->syncResult([] { return 1; }), 1);
    // The queue that the block threw on is idle again: the next sync runs inline.
    std::thread::id inside;
    queue->sync([&] { inside = std::this_thread::get_id(); });
    EXPECT_EQ(inside, std::this_thread::get_id());
}

TEST(DispatchQueueTest, SyncOntoAnIdleQueueRunsOnTheCallersThreadAsThatQueue) {
    int keyA = 0;
    int keyB = 0;
    int valueA = 1;
    int valueB = 2;
    auto a = DispatchQueue::createSerial("test.idle.a");
    auto b = DispatchQueue::createSerial("test.idle.b");
    a->setSpecific(&keyA, &valueA);
    b->setSpecific(&keyB, &valueB);

    // From a thread of no queue.
    std::thread::id inside;
    b->sync([&] { inside = std::this_thread::get_id(); });
    EXPECT_EQ(inside, std::this_thread::get_id());

    // From a task of A onto idle B: B's block answers for B, and A is the current queue again
    // once it returns.
    struct Seen {
        std::thread::id taskThread, blockThread;
        DispatchQueue* current = nullptr;
        std::string label, labelAfter;
        void* specificB = nullptr;
        void* specificA = nullptr;
    } seen;
    a->sync([&] {
        seen.taskThread = std::this_thread::get_id();
        b->sync([&] {
            seen.blockThread = std::this_thread::get_id();
            seen.current = DispatchQueue::current();
            seen.label = DispatchQueue::currentLabel();
            seen.specificB = DispatchQueue::getSpecific(&keyB);
            seen.specificA = DispatchQueue::getSpecific(&keyA);
        });
        seen.labelAfter = DispatchQueue::currentLabel();
    });
    EXPECT_EQ(seen.blockThread, seen.taskThread);
    EXPECT_EQ(seen.current, b.get());
    EXPECT_EQ(seen.label, "test.idle.b");
    EXPECT_EQ(seen.specificB, &valueB);
    EXPECT_EQ(seen.specificA, nullptr);
    EXPECT_EQ(seen.labelAfter, "test.idle.a");
    EXPECT_EQ(DispatchQueue::current(), nullptr);
}

TEST(DispatchQueueTest, SyncOntoABusyQueueWaitsItsTurnInOrder) {
    auto queue = DispatchQueue::createSerial("test.busy");
    std::vector<std::string> order;  // touched only by the queue's tasks
    Semaphore gate;
    queue->async([&] {
        gate.wait();
        order.push_back("gate");
    });
    for (int i = 1; i <= 3; ++i) queue->async([&, i] { order.push_back(std::to_string(i)); });

    // The gate opens once the sync below has been asked for (the pause only makes sure the
    // caller got that far; the order holds either way).
    std::atomic<bool> asking{false};
    std::thread opener([&] {
        while (!asking.load()) std::this_thread::yield();
        std::this_thread::sleep_for(50ms);
        gate.signal();
    });
    std::thread::id blockThread;
    asking = true;
    queue->sync([&] {
        blockThread = std::this_thread::get_id();
        order.push_back("sync");
    });
    opener.join();
    queue->async([&] { order.push_back("4"); });
    queue->sync([] {});
    EXPECT_NE(blockThread, std::this_thread::get_id());  // waited for the pool, not inline
    EXPECT_EQ(order, (std::vector<std::string>{"gate", "1", "2", "3", "sync", "4"}));
}

// A task on a worker that posts to a queue and then syncs with it has that queue's turn
// waiting behind itself; it runs the turn where it is. The tasks posted before the block run
// first, in order, however many batches they take, and what the block posts, or what comes
// after it, runs after it.
TEST(DispatchQueueTest, SyncAfterPostingToTheSameQueueFromATaskKeepsTheOrder) {
    struct Case {
        const char* name;
        int before;  // tasks posted ahead of the block
        bool throws;
    };
    constexpr Case kCases[] = {
        {"the block alone (the queue is idle: it runs inline)", 0, false},
        {"the block ends a full batch", 15, false},
        {"several batches ahead", 40, false},
        {"the block throws", 3, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        auto caller = DispatchQueue::createSerial("test.posted.caller");
        auto queue = DispatchQueue::createSerial("test.posted.queue");
        std::vector<std::string> order;  // touched only by the queue's tasks
        bool thrown = false;
        Semaphore drained;
        caller->async([&] {
            for (int i = 0; i < c.before; ++i) queue->async([&, i] { order.push_back(std::to_string(i)); });
            try {
                queue->sync([&] {
                    order.push_back("sync");
                    queue->async([&] { order.push_back("from inside"); });
                    if (c.throws) throw std::runtime_error("block failed");
                });
            } catch (const std::runtime_error&) {
                thrown = true;
            }
            queue->async([&] {
                order.push_back("after");
                drained.signal();
            });
        });
        ASSERT_TRUE(drained.wait(kPatience));
        std::vector<std::string> expected;
        for (int i = 0; i < c.before; ++i) expected.push_back(std::to_string(i));
        expected.insert(expected.end(), {"sync", "from inside", "after"});
        caller->sync([] {});
        EXPECT_EQ(thrown, c.throws);
        EXPECT_EQ(order, expected);
    }
}

// What the block posts runs after the caller's sync has returned, never inside it: there it
// would run on the thread whose task holds the caller's queue, and a sync with that queue would
// wait for ever. Each round's state is shared with the tasks, which outlive a failed round.
TEST(DispatchQueueTest, WhatTheBlockPostsNeverRunsInsideTheCallersSync) {
    for (int round = 0; round < 50; ++round) {
        auto caller = DispatchQueue::createSerial("test.posted.caller");
        auto queue = DispatchQueue::createSerial("test.posted.queue");
        auto drained = std::make_shared<Semaphore>();
        caller->async([caller, queue, drained] {
            queue->async([] {});  // ahead of the block: the queue's turn waits behind this task
            queue->sync([caller, queue, drained] {
                queue->async([caller, drained] {
                    caller->sync([] {});
                    drained->signal();
                });
            });
        });
        ASSERT_TRUE(drained->wait(kPatience)) << "round " << round << ": a task posted by the block waits for the caller's queue";
    }
}

TEST(DispatchQueueTest, TasksQueuedDuringAnInlineSyncRunAfterIt) {
    struct Case {
        const char* name;
        bool throws;
    };
    constexpr Case kCases[] = {{"block returns", false}, {"block throws", true}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        auto queue = DispatchQueue::createSerial("test.inline.queued");
        std::mutex mutex;
        std::vector<std::string> order;  // guarded by mutex
        auto note = [&](std::string what) {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(std::move(what));
        };
        Semaphore drained;
        auto block = [&] {
            queue->async([&] { note("from inside"); });
            std::thread other([&] {
                queue->async([&] { note("from another thread"); });
                queue->async([&] { drained.signal(); });
            });
            other.join();
            // Queued tasks must wait for the block even when a worker is free to take them.
            std::this_thread::sleep_for(20ms);
            note("block");
            if (c.throws) throw std::runtime_error("block failed");
        };
        if (c.throws)
            EXPECT_THROW(queue->sync(block), std::runtime_error);
        else
            queue->sync(block);
        ASSERT_TRUE(drained.wait(kPatience));  // the queue was scheduled after the block
        {
            std::lock_guard<std::mutex> lock(mutex);
            EXPECT_EQ(order, (std::vector<std::string>{"block", "from inside", "from another thread"}));
        }
    }
}

TEST(DispatchQueueTest, InlineAndQueuedSyncsFromManyThreadsRunOneAtATime) {
    auto queue = DispatchQueue::createSerial("test.inline.many");
    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    long counter = 0;  // touched only on the queue: a race here is the fault
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    auto step = [&] {
        if (running.fetch_add(1) != 0) overlapped = true;
        ++counter;
        running.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 3 == 0)
                    queue->async(step);
                else
                    queue->sync(step);
            }
        });
    }
    for (auto& t : threads) t.join();
    long total = queue->syncResult([&] { return counter; });
    EXPECT_EQ(total, static_cast<long>(kThreads) * kRounds);
    EXPECT_FALSE(overlapped.load());
}

// ---------------------------------------------------------------------------------------------
// Target queues

TEST(DispatchQueueTargetTest, QueuesThatTargetAQueueRunOneAtATimeWithItInTheirOwnOrder) {
    auto target = DispatchQueue::createSerial("test.target");
    auto a = DispatchQueue::createSerial("test.target.a");
    auto b = DispatchQueue::createSerial("test.target.b");
    a->setTargetQueue(target);
    b->setTargetQueue(target);
    const std::shared_ptr<DispatchQueue> queues[] = {target, a, b};
    constexpr int kTasks = 3000;
    std::vector<int> seen[3];  // touched only by tasks that run on the target
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> producers;
    for (int q = 0; q < 3; ++q) {
        producers.emplace_back([&, q] {
            for (int i = 0; i < kTasks; ++i) {
                auto task = [&, q, i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    seen[q].push_back(i);
                    running.fetch_sub(1);
                };
                // Some of each queue's tasks come by sync: they too run one at a time.
                if (i % 10 == 0)
                    queues[q]->sync(task);
                else
                    queues[q]->async(task);
            }
        });
    }
    for (auto& t : producers) t.join();
    for (const auto& queue : queues) queue->sync([] {});
    EXPECT_FALSE(overlapped.load());
    for (int q = 0; q < 3; ++q) {
        SCOPED_TRACE(queues[q]->label());
        ASSERT_EQ(seen[q].size(), static_cast<size_t>(kTasks));
        for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[q][i], i);
    }
}

TEST(DispatchQueueTargetTest, CurrentIsTheQueueItselfAndSpecificsFollowTheChain) {
    // a targets b, b targets c. Keys: one on each, and one that a and c both hold.
    int keyA = 0, keyB = 0, keyC = 0, keyShared = 0;
    int valueA = 1, valueB = 2, valueC = 3, sharedA = 4, sharedC = 5;
    auto a = DispatchQueue::createSerial("test.chain.a");
    auto b = DispatchQueue::createSerial("test.chain.b");
    auto c = DispatchQueue::createSerial("test.chain.c");
    a->setTargetQueue(b);
    b->setTargetQueue(c);
    a->setSpecific(&keyA, &valueA);
    b->setSpecific(&keyB, &valueB);
    c->setSpecific(&keyC, &valueC);
    a->setSpecific(&keyShared, &sharedA);
    c->setSpecific(&keyShared, &sharedC);
    struct Seen {
        DispatchQueue* current = nullptr;
        std::string label;
        void* values[4] = {};
    };
    auto look = [&](Seen& seen) {
        seen.current = DispatchQueue::current();
        seen.label = DispatchQueue::currentLabel();
        const void* keys[] = {&keyA, &keyB, &keyC, &keyShared};
        for (int i = 0; i < 4; ++i) seen.values[i] = DispatchQueue::getSpecific(keys[i]);
    };
    struct Case {
        const char* how;
        std::shared_ptr<DispatchQueue> queue;
        bool viaSync;
        std::vector<void*> expected;
    };
    const Case cases[] = {
        {"task of a", a, false, {&valueA, &valueB, &valueC, &sharedA}},
        {"sync onto a", a, true, {&valueA, &valueB, &valueC, &sharedA}},
        {"task of b", b, false, {nullptr, &valueB, &valueC, &sharedC}},
        {"task of c", c, false, {nullptr, nullptr, &valueC, &sharedC}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.how);
        Seen seen;
        if (k.viaSync) {
            k.queue->sync([&] { look(seen); });
        } else {
            Semaphore done;
            k.queue->async([&] {
                look(seen);
                done.signal();
            });
            ASSERT_TRUE(done.wait(kPatience));
        }
        EXPECT_EQ(seen.current, k.queue.get());
        EXPECT_EQ(seen.label, k.queue->label());
        EXPECT_EQ(std::vector<void*>(std::begin(seen.values), std::end(seen.values)), k.expected);
    }
}

TEST(DispatchQueueTargetTest, SyncOntoAQueueWaitsWhileItsTargetIsBusy) {
    auto target = DispatchQueue::createSerial("test.busytarget");
    auto queue = DispatchQueue::createSerial("test.busytarget.queue");
    queue->setTargetQueue(target);
    std::vector<std::string> order;  // touched only by tasks that run on the target
    Semaphore gate;
    target->async([&] {
        gate.wait();
        order.push_back("target");
    });
    std::thread opener([&] {
        std::this_thread::sleep_for(50ms);
        gate.signal();
    });
    // The queue itself is idle, but its block must not run alongside the target's task.
    queue->sync([&] { order.push_back("queue"); });
    opener.join();
    target->sync([] {});
    EXPECT_EQ(order, (std::vector<std::string>{"target", "queue"}));
}

TEST(DispatchQueueTargetTest, SyncWithinTheChainRunsAtOnce) {
    LogCapture log;  // a sync onto a queue the caller holds is logged
    auto target = DispatchQueue::createSerial("test.held.target");
    auto queue = DispatchQueue::createSerial("test.held.queue");
    queue->setTargetQueue(target);
    struct Case {
        const char* how;
        std::shared_ptr<DispatchQueue> from;
        std::shared_ptr<DispatchQueue> onto;
        DispatchQueue* currentInside;
    };
    const Case cases[] = {
        // The target's task holds the target, so the idle queue's block can run in it.
        {"target onto the queue", target, queue, queue.get()},
        // The queue's task holds its target as well; the block answers for the target.
        {"queue onto the target", queue, target, target.get()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        Semaphore done;
        DispatchQueue* inside = nullptr;
        bool ran = false;
        c.from->async([&] {
            c.onto->sync([&] {
                ran = true;
                inside = DispatchQueue::current();
            });
            done.signal();
        });
        ASSERT_TRUE(done.wait(kPatience)) << "deadlocked";
        EXPECT_TRUE(ran);
        EXPECT_EQ(inside, c.currentInside);
    }
}

TEST(DispatchQueueTargetTest, RunsOnFollowsTheChainAndLoopsAreRefused) {
    LogCapture log;
    auto a = DispatchQueue::createSerial("test.loop.a");
    auto b = DispatchQueue::createSerial("test.loop.b");
    auto c = DispatchQueue::createSerial("test.loop.c");
    a->setTargetQueue(b);
    b->setTargetQueue(c);
    EXPECT_EQ(a->targetQueue(), b);
    EXPECT_TRUE(a->runsOn(*a));
    EXPECT_TRUE(a->runsOn(*c));
    EXPECT_FALSE(c->runsOn(*a));
    EXPECT_FALSE(b->runsOn(*a));

    c->setTargetQueue(a);  // would close a loop
    EXPECT_EQ(c->targetQueue(), nullptr);
    a->setTargetQueue(a);
    EXPECT_EQ(a->targetQueue(), b);
    EXPECT_EQ(log.lines().size(), 2u);

    // The global concurrent queue as target means the pool.
    a->setTargetQueue(DispatchQueue::globalConcurrent());
    EXPECT_EQ(a->targetQueue(), nullptr);
    EXPECT_EQ(a->syncResult([] { return 9; }), 9);
}

TEST(DispatchQueueTest, ThrowingTaskIsLoggedAndTheQueueGoesOn) {
    LogCapture log;
    auto queue = DispatchQueue::createSerial("test.throwing");
    std::atomic<int> after{0};
    queue->async([] { throw std::runtime_error("boom"); });
    queue->async([] { throw 42; });
    queue->async([&] { after = 1; });
    queue->sync([] {});
    EXPECT_EQ(after, 1);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("test.throwing"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("boom"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("unknown exception"), std::string::npos) << lines[1];
}

TEST(DispatchQueueTest, BlockedTasksDoNotStopOtherQueues) {
    // More blocked queues than the pool keeps workers: the pool must add threads.
    const unsigned blockedCount = processorCount() + 4;
    Semaphore release;
    Semaphore started;
    std::vector<std::shared_ptr<DispatchQueue>> blocked;
    for (unsigned i = 0; i < blockedCount; ++i) {
        blocked.push_back(DispatchQueue::createSerial("test.blocked." + std::to_string(i)));
        blocked.back()->async([&] {
            started.signal();
            release.wait();
        });
    }
    for (unsigned i = 0; i < blockedCount; ++i) ASSERT_TRUE(started.wait(kPatience));
    auto free = DispatchQueue::createSerial("test.free");
    EXPECT_EQ(free->syncResult([] { return 3; }), 3);
    Semaphore concurrentRan;
    DispatchQueue::globalConcurrent()->async([&] { concurrentRan.signal(); });
    EXPECT_TRUE(concurrentRan.wait(kPatience));
    for (unsigned i = 0; i < blockedCount; ++i) release.signal();
    for (auto& q : blocked) q->sync([] {});
}

TEST(DispatchQueueTest, QueuesListedBehindABlockingTaskStillRun) {
    // A burst of one-task queues after one that blocks: a worker that took several of them
    // along must not keep them while it waits.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        struct State {
            Semaphore release;
            Semaphore ran;
        };
        auto state = std::make_shared<State>();  // outlives a failed round's tasks
        auto blocker = DispatchQueue::createSerial("test.blocker");
        std::vector<std::shared_ptr<DispatchQueue>> queues;
        for (int i = 0; i < 64; ++i) queues.push_back(DispatchQueue::createSerial("test.behind"));
        blocker->async([state] { state->release.wait(); });
        for (auto& q : queues) q->async([state] { state->ran.signal(); });
        bool allRan = true;
        for (size_t i = 0; i < queues.size() && allRan; ++i) allRan = state->ran.wait(kPatience);
        state->release.signal();
        ASSERT_TRUE(allRan);
        blocker->sync([] {});
    }
}

TEST(DispatchQueueTest, GlobalConcurrentQueueRunsTasksInParallel) {
    auto queue = DispatchQueue::globalConcurrent();
    EXPECT_FALSE(queue->isSerial());
    EXPECT_EQ(queue, DispatchQueue::globalConcurrent());
    // Every task waits for all the others to have started: only parallel runs finish.
    const int n = static_cast<int>(processorCount()) + 4;
    std::atomic<int> arrived{0};
    Semaphore allThere;
    Semaphore finished;
    std::atomic<bool> onSerialQueue{false};
    for (int i = 0; i < n; ++i) {
        queue->async([&] {
            if (DispatchQueue::current() != nullptr) onSerialQueue = true;
            if (arrived.fetch_add(1) + 1 == n)
                for (int k = 0; k < n; ++k) allThere.signal();
            bool ok = allThere.wait(kPatience);
            if (ok) finished.signal();
        });
    }
    for (int i = 0; i < n; ++i) ASSERT_TRUE(finished.wait(kPatience));
    EXPECT_FALSE(onSerialQueue);
}

TEST(DispatchQueueTest, AfterRunsOnTheQueueOnceTheDelayHasPassed) {
    auto queue = DispatchQueue::createSerial("test.after");
    Semaphore done;
    std::string label;
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited{};
    queue->after(20ms, [&] {
        waited = std::chrono::steady_clock::now() - start;
        label = DispatchQueue::currentLabel();
        done.signal();
    });
    ASSERT_TRUE(done.wait(kPatience));
    EXPECT_GE(waited, 20ms);
    EXPECT_EQ(label, "test.after");

    // Earlier deadlines first, whatever the order of the calls; no delay means at once.
    std::vector<int> order;
    queue->after(30ms, [&] { order.push_back(3); done.signal(); });
    queue->after(10ms, [&] { order.push_back(2); done.signal(); });
    queue->after(0ms, [&] { order.push_back(1); done.signal(); });
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(done.wait(kPatience));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// The names of the process's threads with how many bear each, for a failure message.
std::string threadNames() {
    std::map<std::string, int> names;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            ++names[name];
        }
        ::closedir(dir);
    }
    std::string out;
    for (const auto& [name, count] : names) out += name + " x" + std::to_string(count) + "; ";
    return out;
}

TEST(DispatchQueueTest, IdleQueuesCostNoThreads) {
    // The threads the dispatch layer keeps are started first, by work that really runs on
    // them: as many tasks at once as the pool keeps workers, a hop from one queue to another,
    // and a timer. What is counted after that is what queues cost once their work is done.
    const std::size_t width = std::max<std::size_t>(2, processorCount());
    std::vector<std::shared_ptr<DispatchQueue>> warm;
    std::atomic<std::size_t> started{0};
    Semaphore warmedUp;
    for (std::size_t i = 0; i < width; ++i) {
        warm.push_back(DispatchQueue::createSerial("test.warm"));
        warm.back()->async([&] {
            started.fetch_add(1);
            const auto until = std::chrono::steady_clock::now() + kPatience;
            while (started.load() < width && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            warmedUp.signal();
        });
    }
    for (std::size_t i = 0; i < width; ++i) ASSERT_TRUE(warmedUp.wait(kPatience));
    ASSERT_EQ(started.load(), width) << "the pool never ran that many tasks at once";
    // The hop goes to a queue that has never run, so that it is listed anew: into the slot of
    // the worker that runs the task, which starts the slot watch.
    auto hop = DispatchQueue::createSerial("test.warm.hop");
    warm.front()->async([&] { hop->async([&] { warmedUp.signal(); }); });
    warm.front()->after(1ms, [&] { warmedUp.signal(); });
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(warmedUp.wait(kPatience));
    const std::size_t before = threadsOfProcess();
    const std::string namesBefore = threadNames();

    // Queues that have run tasks, posted from outside the pool and from each other, timers, and
    // more tasks at once than the pool keeps workers, and then fall idle.
    constexpr int kQueues = 10000;
    constexpr int kTimerEvery = 10;
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    int key = 0;
    std::atomic<int> ran{0};
    for (int i = 0; i < kQueues; ++i) {
        queues.push_back(DispatchQueue::createSerial("test.idle"));
        queues.back()->setSpecific(&key, &key);
    }
    for (int i = 0; i < kQueues; ++i) {
        DispatchQueue& next = *queues[(i + 1) % kQueues];
        queues[i]->async([&] {
            ran.fetch_add(1);
            next.async([&] { ran.fetch_add(1); });
        });
        if (i % kTimerEvery == 0) queues[i]->after(1ms, [&] { ran.fetch_add(1); });
    }
    // Each holds its worker until all have started or a moment has passed: those beyond the
    // pool's width wait their turn instead of getting threads.
    const std::size_t crowd = 2 * width;
    std::atomic<std::size_t> holding{0};
    for (std::size_t i = 0; i < crowd; ++i) {
        queues[i]->async([&] {
            holding.fetch_add(1);
            const auto until = std::chrono::steady_clock::now() + 20ms;
            while (holding.load() < crowd && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            ran.fetch_add(1);
        });
    }
    const int kExpected = 2 * kQueues + kQueues / kTimerEvery + static_cast<int>(crowd);
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (ran.load() < kExpected && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(ran.load(), kExpected);
    EXPECT_LE(threadsOfProcess(), before) << "before: " << namesBefore << "\nafter: " << threadNames();
}

}  // namespace
}  // namespace platform
