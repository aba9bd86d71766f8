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
#include "Platform/ThreadInfo.h"

namespace platform::detail {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace platform::detail
