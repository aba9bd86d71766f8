#include "Platform/Notifications/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using platform::Notification;
using platform::NotificationCenter;

TEST(NotificationCenter, DeliversByNameAndSenderInOrder) {
    NotificationCenter center;
    auto sender = std::make_shared<int>(1);
    auto other = std::make_shared<int>(2);
    std::vector<std::string> seen;
    center.addObserver("A", [&](const Notification& n) { seen.push_back("any:" + std::to_string(*static_cast<int*>(n.object.get()))); });
    center.addObserver("A", [&](const Notification&) { seen.push_back("sender"); }, sender.get());
    center.addObserver("B", [&](const Notification&) { seen.push_back("b"); });
    center.post("A", sender);
    center.post("A", other);
    EXPECT_EQ(seen, (std::vector<std::string>{"any:1", "sender", "any:2"}));
}

TEST(NotificationCenter, RemovedObserversAreNotCalledAndMayRemoveThemselves) {
    NotificationCenter center;
    int calls = 0;
    NotificationCenter::Token self = 0;
    self = center.addObserver("A", [&](const Notification&) {
        ++calls;
        center.removeObserver(self);  // from inside its own call: must not wait for itself
    });
    center.post("A");
    center.post("A");
    EXPECT_EQ(calls, 1);
    center.removeObserver(12345);  // unknown: nothing
}

TEST(NotificationCenter, RemoveWaitsForACallRunningOnAnotherThread) {
    NotificationCenter center;
    std::atomic<bool> inside{false}, release{false}, finished{false};
    auto token = center.addObserver("A", [&](const Notification&) {
        inside = true;
        while (!release) std::this_thread::yield();
        finished = true;
    });
    std::thread poster([&] { center.post("A"); });
    while (!inside) std::this_thread::yield();
    std::thread remover([&] {
        center.removeObserver(token);
        EXPECT_TRUE(finished.load());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
    poster.join();
    remover.join();
}

TEST(NotificationCenter, ConcurrentPostsAndObservers) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto token = center.addObserver("A", [&](const Notification&) { ++calls; });
                center.post("A");
                center.removeObserver(token);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_GE(calls.load(), 800);
}

}  // namespace
