// A counting semaphore, as the card layer, the logging hub and the URL loader use it to turn
// an asynchronous reply into a blocking wait.
//
// Taking a count that is there and signalling while nobody sleeps are one atomic operation
// each; only a wait that finds no count sleeps (and tells the pool that its worker blocks).
// One waiter at a time spins a moment for the next count before it sleeps; when it takes one
// while others sleep it wakes one of them to spin in its place, so that a signaller that keeps
// many waiters fed (the logging hub's queue behind its window of pending messages) wakes
// nobody itself.
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
    // Takes a count when there is one, giving up with it the waiter's `role` in the state: the
    // spinner's place, one sleeper, or nothing (a waiter counted as neither).
    bool tryTake(uint64_t& state, uint64_t role);
    // The spinner looks for a count until `until`; true when it took one.
    bool spin(uint64_t& state, std::chrono::steady_clock::time_point until);

    // The count (the futex word, with the baton), whether a waiter spins and the number of
    // sleeping waiters, in one word: signal() learns with the same operation whether it must
    // wake anyone. See Semaphore.cpp.
    std::atomic<uint64_t> state_;
};

}  // namespace platform
