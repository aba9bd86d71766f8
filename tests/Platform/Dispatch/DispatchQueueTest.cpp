#include "Platform/Dispatch/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "Platform/Dispatch/Semaphore.h"

namespace platform {
namespace {

TEST(DispatchQueueTest, AsyncRunsInOrderAndSyncReturnsResult) {
    auto queue = DispatchQueue::createSerial("test.order");
    std::vector<int> seen;
    for (int i = 0; i < 100; ++i) queue->async([&seen, i] { seen.push_back(i); });
    int n = queue->syncResult([&] { return static_cast<int>(seen.size()); });
    EXPECT_EQ(n, 100);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

}  // namespace
}  // namespace platform
