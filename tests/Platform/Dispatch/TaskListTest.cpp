#include "Platform/Dispatch/detail/TaskList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace platform {
namespace {

constexpr int kProducers = 8;

// Drained while producers push: the consumer keeps running dry, so the stub is put back
// behind the last node again and again while pushes race with it. After every step the
// consumer asks whether the list is empty, as a serial queue does before it gives up its
// turn: a yes while a finished push is still to be taken would strand that task. (The queue
// built on the list is stressed the same way in DispatchQueueTest.)
TEST(TaskListTest, ManyProducersOneConsumerKeepOrderAndLoseNothing) {
    constexpr int kTasks = 20000;
    detail::TaskList list;
    std::vector<std::vector<int>> seen(kProducers);  // consumer only
    std::atomic<bool> go{false};
    std::atomic<int> pushed{0};  // pushes that have returned
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kTasks; ++i) {
                list.push([&seen, p, i] { seen[p].push_back(i); });
                pushed.fetch_add(1);
                if (i % 1000 == 0) std::this_thread::yield();  // let the consumer run dry
            }
        });
    }
    go = true;
    int taken = 0;
    int emptyWithTasksLeft = 0;
    while (taken < kProducers * kTasks) {
        detail::TaskList::Node* node = list.pop();
        if (node) {
            node->run();
            delete node;
            ++taken;
        }
        const int finished = pushed.load();
        if (list.empty() && taken < finished) ++emptyWithTasksLeft;
        if (!node) std::this_thread::yield();
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(emptyWithTasksLeft, 0);
    EXPECT_EQ(list.pop(), nullptr);
    EXPECT_TRUE(list.empty());
    for (int p = 0; p < kProducers; ++p) {
        SCOPED_TRACE(p);
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(kTasks));
        for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[p][i], i);
    }
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

}  // namespace
}  // namespace platform
