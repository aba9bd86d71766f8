#include "Platform/Dispatch/detail/Pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/ThreadInfo.h"

namespace platform::detail {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 5s;  // only reached when something is broken

// Waits until no worker spins, and a moment more, so that the workers are asleep when the
// next job comes: nobody is searching who could come across a waiting job by chance.
void letThePoolFallAsleep() {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (Pool::shared().spinningWorkers() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(5ms);
}

// Polls `done` until it holds or kPatience has passed, the way a long task would do its work:
// without telling the pool that it waits.
template <class Done>
bool busyUntil(Done done) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(50us);
    }
    return true;
}

// Workers that run out of work at the same moment race to become the one spinner. The losers
// must leave the count as they found it: a count left behind would stop every worker from
// spinning for the rest of the process, and each job after an idle moment would wait for a
// wake-up.
TEST(DispatchPoolTest, WorkersGoingIdleTogetherLeaveNoSpinnerBehind) {
    const std::size_t width = std::max<std::size_t>(2, processorCount());
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    for (std::size_t i = 0; i < width; ++i) queues.push_back(DispatchQueue::createSerial("test.pool.idle"));
    for (int round = 0; round < 2000; ++round) {
        std::atomic<std::size_t> started{0};
        std::atomic<std::size_t> finished{0};
        for (auto& queue : queues) {
            queue->async([&] {
                // Every task holds its worker until all have started (or a moment has passed,
                // where the pool runs fewer workers), so that they all finish together.
                started.fetch_add(1);
                const auto until = std::chrono::steady_clock::now() + 20ms;
                while (started.load() < width && std::chrono::steady_clock::now() < until) std::this_thread::yield();
                finished.fetch_add(1);
            });
        }
        while (finished.load() < width) std::this_thread::yield();
    }
    // A worker may start its spin a moment after the last task has ended, so one look can
    // see it counted: the count must come down to zero, which a count left behind never does.
    const auto until = std::chrono::steady_clock::now() + 5s;
    bool noSpinner = Pool::shared().spinningWorkers() == 0;
    while (!noSpinner && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1ms);
        noSpinner = Pool::shared().spinningWorkers() == 0;
    }
    EXPECT_TRUE(noSpinner) << Pool::shared().spinningWorkers() << " spinning workers counted";
}

// Threads outside the pool list queues in the inbox while workers take it whole and hand its
// jobs on to each other: every task runs exactly once, and each producer's tasks on a queue
// run in the order it submitted them.
TEST(DispatchPoolTest, QueuesListedFromManyThreadsAtOnceRunEachTaskOnceInOrder) {
    constexpr int kProducers = 8;
    constexpr int kQueues = 64;
    constexpr int kRounds = 200;
    struct Seen {
        std::mutex mutex;
        std::vector<int> last = std::vector<int>(kProducers, -1);
        int outOfOrder = 0;
    };
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    std::vector<Seen> seen(kQueues);
    for (int q = 0; q < kQueues; ++q) queues.push_back(DispatchQueue::createSerial("test.pool.inbox"));
    std::atomic<int> ran{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int round = 0; round < kRounds; ++round) {
                for (int q = 0; q < kQueues; ++q) {
                    queues[q]->async([&, p, q, round] {
                        Seen& s = seen[q];
                        std::lock_guard<std::mutex> lock(s.mutex);
                        if (s.last[p] != round - 1) ++s.outOfOrder;
                        s.last[p] = round;
                        ran.fetch_add(1);
                    });
                }
                if (round % 16 == 0) std::this_thread::yield();  // let the pool fall idle now and then
            }
        });
    }
    for (auto& t : producers) t.join();
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (ran.load() < kProducers * kQueues * kRounds && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(ran.load(), kProducers * kQueues * kRounds);
    for (Seen& s : seen) {
        std::lock_guard<std::mutex> lock(s.mutex);
        EXPECT_EQ(s.outOfOrder, 0);
        for (int p = 0; p < kProducers; ++p) EXPECT_EQ(s.last[p], kRounds - 1);
    }
}

// The first job a task posts waits in its worker's next-job slot. A task that goes on for long
// (a key generated on first use, a digest of a large document) must not hold that job up while
// other workers have nothing to do: the long task here waits until its jobs have run, which
// only ends before kPatience when another worker takes them from the slot.
TEST(DispatchPoolTest, JobsPostedByALongTaskStartBeforeItEnds) {
    struct Case {
        const char* name;
        bool longTaskViaSlot;  // the long task itself came through a worker's slot
        int jobs;              // jobs it posts, each to a queue of its own
    };
    constexpr Case kCases[] = {
        {"one job, long task listed from outside", false, 1},
        {"one job, long task posted by a task", true, 1},
        {"three jobs", false, 3},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(round);
            letThePoolFallAsleep();
            struct State {
                std::atomic<int> ran{0};
                std::atomic<int> ranInTime{0};  // jobs that had run when the task gave up or went on
                Semaphore ended;
            };
            auto state = std::make_shared<State>();  // outlives a failed round's tasks
            auto longQueue = DispatchQueue::createSerial("test.pool.long");
            std::vector<std::shared_ptr<DispatchQueue>> queues;
            for (int i = 0; i < c.jobs; ++i) queues.push_back(DispatchQueue::createSerial("test.pool.posted"));
            auto longTask = [state, queues, jobs = c.jobs] {
                for (const auto& queue : queues) queue->async([state] { state->ran.fetch_add(1); });
                busyUntil([&] { return state->ran.load() == jobs; });
                state->ranInTime = state->ran.load();
                state->ended.signal();
            };
            if (c.longTaskViaSlot) {
                auto first = DispatchQueue::createSerial("test.pool.first");
                first->async([longQueue, longTask] { longQueue->async(longTask); });
            } else {
                longQueue->async(longTask);
            }
            ASSERT_TRUE(state->ended.wait(2 * kPatience));
            EXPECT_EQ(state->ranInTime.load(), c.jobs) << "jobs that ran while the task that posted them went on";
            if (state->ranInTime.load() != c.jobs) break;
        }
    }
}

// A serial queue that a long task keeps posting to falls idle and is listed again, into the
// slot, over and over, while other workers take it from there: its tasks still run one at a
// time and in the order each producer posted them.
TEST(DispatchPoolTest, SerialOrderHoldsWhileOtherWorkersTakeFromTheSlot) {
    constexpr int kTasks = 300;
    constexpr int kWaitEvery = 10;  // the long task waits for the queue to drain this often
    auto longQueue = DispatchQueue::createSerial("test.pool.producer");
    auto queue = DispatchQueue::createSerial("test.pool.consumer");
    std::vector<int> seen[2];  // by producer; touched only by the queue's tasks
    std::atomic<int> ran{0};
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    auto post = [&](int producer, int i) {
        queue->async([&, producer, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            seen[producer].push_back(i);
            running.fetch_sub(1);
            ran.fetch_add(1);
        });
    };
    std::atomic<bool> drainedInTime{true};
    Semaphore ended;
    letThePoolFallAsleep();
    longQueue->async([&] {
        for (int i = 0; i < kTasks; ++i) {
            post(0, i);
            // Left to drain, the queue is listed anew by the next post: into this worker's slot.
            if (i % kWaitEvery == kWaitEvery - 1 && !busyUntil([&] { return ran.load() >= i + 1; })) {
                drainedInTime = false;
                break;
            }
        }
        ended.signal();
    });
    std::thread other([&] {
        for (int i = 0; i < kTasks; ++i) {
            post(1, i);
            if (i % 16 == 0) std::this_thread::sleep_for(100us);
        }
    });
    other.join();
    ASSERT_TRUE(ended.wait(2 * kPatience));
    queue->sync([] {});
    EXPECT_TRUE(drainedInTime.load()) << "the queue waited in the slot for the task that posted to it";
    EXPECT_FALSE(overlapped.load());
    for (int producer = 0; producer < 2; ++producer) {
        SCOPED_TRACE(producer);
        std::vector<int> expected;
        for (int i = 0; i < kTasks; ++i) expected.push_back(i);
        if (producer == 0 && !drainedInTime.load()) expected.resize(seen[0].size());
        EXPECT_EQ(seen[producer], expected);
    }
}

}  // namespace
}  // namespace platform::detail
