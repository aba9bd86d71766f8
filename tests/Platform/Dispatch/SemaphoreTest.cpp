#include "Platform/Dispatch/Semaphore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Platform/Dispatch/DispatchQueue.h"

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

}  // namespace
}  // namespace platform
