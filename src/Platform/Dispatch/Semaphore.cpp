#include "Platform/Dispatch/Semaphore.h"

#include <algorithm>

#include "Platform/Dispatch/detail/Pool.h"

namespace platform {

Semaphore::Semaphore(long initialCount) : count_(initialCount) {}

void Semaphore::signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    // Notified under the lock: a waiter that returns may destroy the semaphore at once.
    cv_.notify_one();
}

bool Semaphore::wait(std::optional<std::chrono::nanoseconds> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (count_ > 0) {
        --count_;
        return true;
    }
    if (timeout && *timeout <= std::chrono::nanoseconds::zero()) return false;
    detail::BlockingScope blocking;
    if (!timeout) {
        cv_.wait(lock, [this] { return count_ > 0; });
    } else {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::min(*timeout, std::chrono::nanoseconds(std::chrono::hours(24 * 365 * 100))));
        if (!cv_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
    }
    --count_;
    return true;
}

}  // namespace platform
