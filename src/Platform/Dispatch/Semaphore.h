// A counting semaphore, as the card layer, the logging hub and the URL loader use it to turn
// an asynchronous reply into a blocking wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace platform {

class Semaphore {
public:
    explicit Semaphore(long initialCount = 0);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds one to the count and wakes one waiter. Callable from any thread.
    void signal();

    // Takes one from the count, waiting while it is 0. With a timeout, gives up after it and
    // returns false; returns true when a count was taken. Without a timeout waits for ever.
    bool wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long count_;  // guarded by mutex_
};

}  // namespace platform
