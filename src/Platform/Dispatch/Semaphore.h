// A counting semaphore, as the card layer, the logging hub and the URL loader use it to turn
// an asynchronous reply into a blocking wait.
//
// Taking a count that is there and signalling while nobody sleeps are one atomic operation
// each; only a wait that finds no count sleeps (and tells the pool that its worker blocks).
// A waiter that has returned may destroy the semaphore at once: signal() touches nothing of it
// after the one operation that hands the count over.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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
    bool tryTake(uint64_t& state, bool leaving);

    // The count in the low 32 bits (the futex word), the number of sleeping waiters in the
    // high 32 bits: one word, so that signal() learns with the same operation whether anyone
    // sleeps.
    std::atomic<uint64_t> state_;
};

}  // namespace platform
