#include "Platform/Dispatch/Semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "tools/Eventually.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(SemaphoreTest, WaitTimesOutWithoutASignal) {
    Semaphore sem;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem.wait(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_FALSE(sem.wait(0ns));
    EXPECT_FALSE(sem.wait(-1s));
}

TEST(SemaphoreTest, CountsSignalsAndInitialCount) {
    Semaphore sem(2);
    EXPECT_TRUE(sem.wait(0ns));
    EXPECT_TRUE(sem.wait(0ns));
    EXPECT_FALSE(sem.wait(0ns));
    sem.signal();
    sem.signal();
    EXPECT_TRUE(sem.wait());
    EXPECT_TRUE(sem.wait(1ms));
    EXPECT_FALSE(sem.wait(1ms));
}

TEST(SemaphoreTest, SignalFromAQueueWakesAWaiter) {
    Semaphore sem;
    auto queue = DispatchQueue::createSerial("test.semaphore");
    queue->after(5ms, [&] { sem.signal(); });
    EXPECT_TRUE(sem.wait(5s));
    // A waiter that outwaits the signal: the count stays for the next wait.
    std::thread late([&] { sem.signal(); });
    late.join();
    EXPECT_TRUE(sem.wait(5s));
}

// Many waiters on one semaphore, as the logging hub's callers wait for its window: one spins,
// hands its place to a sleeper when it takes a count, and impatient ones give up on a time
// limit as sleepers, as the spinner or with the spinner's place just handed to them. Every
// count must reach exactly one waiter, and no waiter may sleep through a count.
TEST(SemaphoreTest, ManyWaitersTakeEveryCountOnce) {
    struct Case {
        const char* name;
        int impatient;
    };
    constexpr Case kCases[] = {{"patient waiters only", 0}, {"with impatient waiters", 3}};
    constexpr int kPatient = 6;
    constexpr int kPerPatient = 3000;
    constexpr int kSignallers = 2;
    constexpr int kTotal = kPatient * kPerPatient;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        // Shared, so that threads stuck for good can be left behind and the test still report.
        struct Shared {
            Semaphore sem;
            std::atomic<int> patientDone{0};
            std::atomic<int> threadsDone{0};
            std::atomic<bool> stop{false};
        };
        auto shared = std::make_shared<Shared>();
        std::vector<std::thread> threads;
        for (int p = 0; p < kPatient; ++p) {
            threads.emplace_back([shared] {
                for (int i = 0; i < kPerPatient; ++i) shared->sem.wait();
                ++shared->patientDone;
                ++shared->threadsDone;
            });
        }
        // They wait 0 to 99 us and give back what they take, so that the patient ones need
        // every count the signallers give.
        for (int q = 0; q < c.impatient; ++q) {
            threads.emplace_back([shared, q] {
                unsigned n = static_cast<unsigned>(q) + 1;
                while (!shared->stop) {
                    n = n * 1103515245u + 12345u;
                    if (shared->sem.wait(std::chrono::microseconds((n >> 8) % 100))) shared->sem.signal();
                }
                ++shared->threadsDone;
            });
        }
        for (int s = 0; s < kSignallers; ++s) {
            threads.emplace_back([shared] {
                for (int i = 0; i < kTotal / kSignallers; ++i) {
                    shared->sem.signal();
                    if (i % 64 == 0) std::this_thread::yield();
                }
                ++shared->threadsDone;
            });
        }

        const bool finished =
            testtools::eventually([&] { return shared->patientDone == kPatient; }, 60s, 1ms);
        shared->stop = true;
        if (!finished) {
            for (int i = 0; i < kTotal; ++i) shared->sem.signal();  // may let the stuck waiters end
        }
        const auto all = static_cast<int>(threads.size());
        if (finished || testtools::eventually([&] { return shared->threadsDone == all; }, 5s)) {
            for (auto& t : threads) t.join();
        } else {
            for (auto& t : threads) t.detach();
        }
        EXPECT_TRUE(finished) << "a waiter slept through a count";
        if (finished) {
            EXPECT_FALSE(shared->sem.wait(0ns)) << "a count was left over: another was taken twice";
        }
    }
}

}  // namespace
}  // namespace platform
