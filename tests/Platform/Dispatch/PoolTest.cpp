#include "Platform/Dispatch/detail/Pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
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
    for (int round = 0; round < 200; ++round) {
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
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (Pool::shared().spinningWorkers() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(Pool::shared().spinningWorkers(), 0u);
}

}  // namespace
}  // namespace platform::detail
