#include "Platform/Dispatch/detail/TaskList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/Semaphore.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

constexpr int kProducers = 8;

// Checks what one consumer saw: every producer's tasks, each exactly once, in its order.
void expectEveryTaskInProducerOrder(const std::vector<std::vector<int>>& seen, int perProducer) {
    for (int p = 0; p < kProducers; ++p) {
        SCOPED_TRACE("producer " + std::to_string(p));
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(perProducer));
        for (int i = 0; i < perProducer; ++i) ASSERT_EQ(seen[p][i], i);
    }
}

// The list itself, drained while producers push: the consumer keeps running dry, so the stub
// is put back behind the last node again and again while pushes race with it.
TEST(TaskListTest, ManyProducersOneConsumerKeepOrderAndLoseNothing) {
    constexpr int kTasks = 20000;
    detail::TaskList list;
    std::vector<std::vector<int>> seen(kProducers);  // consumer only
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kTasks; ++i) {
                list.push([&seen, p, i] { seen[p].push_back(i); });
                if (i % 1000 == 0) std::this_thread::yield();  // let the consumer run dry
            }
        });
    }
    go = true;
    int taken = 0;
    int emptyPops = 0;
    while (taken < kProducers * kTasks) {
        detail::TaskList::Node* node = list.pop();
        if (!node) {
            ++emptyPops;
            std::this_thread::yield();
            continue;
        }
        node->task();
        delete node;
        ++taken;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(list.pop(), nullptr);
    EXPECT_TRUE(list.seenEmpty());
    expectEveryTaskInProducerOrder(seen, kTasks);
}

// A list destroyed with tasks in it frees them and what they hold.
TEST(TaskListTest, DestroyingTheListReleasesItsTasks) {
    auto held = std::make_shared<int>(0);
    {
        detail::TaskList list;
        for (int i = 0; i < 3; ++i) list.push([held] {});
        EXPECT_EQ(held.use_count(), 4);
    }
    EXPECT_EQ(held.use_count(), 1);
}

// The same through a serial queue whose tasks are so short that it keeps falling idle: every
// push races with the consumer giving up its turn, and a sync now and then takes the turn
// inline. Nothing may be lost or run twice, out of order or alongside another task.
TEST(TaskListTest, SerialQueueFallingIdleUnderManyProducersLosesNothing) {
    constexpr int kTasks = 5000;
    auto queue = DispatchQueue::createSerial("test.tasklist.idle");
    std::vector<std::vector<int>> seen(kProducers);  // touched only by the queue's tasks
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kTasks; ++i) {
                auto task = [&, p, i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    seen[p].push_back(i);
                    running.fetch_sub(1);
                };
                if (i % 97 == 0)
                    queue->sync(task);
                else
                    queue->async(task);
                if (i % 64 == 0) std::this_thread::sleep_for(10us);  // let the queue fall idle
            }
        });
    }
    for (auto& t : producers) t.join();
    Semaphore drained;
    queue->async([&] { drained.signal(); });
    ASSERT_TRUE(drained.wait(std::chrono::seconds(10)));
    EXPECT_FALSE(overlapped.load());
    expectEveryTaskInProducerOrder(seen, kTasks);
}

}  // namespace
}  // namespace platform
