#include "Platform/Dispatch/Semaphore.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>

#include "Platform/Dispatch/detail/Pool.h"

namespace platform {

namespace {

constexpr uint64_t kCountMask = 0xffffffffu;
constexpr uint64_t kOneSleeper = uint64_t{1} << 32;
constexpr std::chrono::nanoseconds kSpinTime = std::chrono::microseconds(20);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The count's half of the state, where sleepers wait.
uint32_t* futexWord(std::atomic<uint64_t>& state) {
    auto* halves = reinterpret_cast<uint32_t*>(&state);
    return std::endian::native == std::endian::little ? halves : halves + 1;
}

// Sleeps while the count is 0, until woken or the absolute deadline on CLOCK_MONOTONIC (the
// clock of steady_clock) has passed. Returns false on the deadline.
bool sleepWhileZero(uint32_t* word, const timespec* deadline) {
    long r = ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0u, deadline, nullptr,
                       FUTEX_BITSET_MATCH_ANY);
    return !(r == -1 && errno == ETIMEDOUT);
}

void wakeOne(std::atomic<uint64_t>& state) {
    ::syscall(SYS_futex, futexWord(state), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

timespec deadlineAfter(std::chrono::nanoseconds timeout) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto limit = std::chrono::nanoseconds(std::chrono::hours(24 * 365 * 100));
    const int64_t ns = std::min(timeout, limit).count();
    timespec at{};
    at.tv_sec = now.tv_sec + static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = now.tv_nsec + static_cast<long>(ns % 1000000000);
    if (at.tv_nsec >= 1000000000) {
        at.tv_nsec -= 1000000000;
        ++at.tv_sec;
    }
    return at;
}

}  // namespace

Semaphore::Semaphore(long initialCount)
    : state_(static_cast<uint64_t>(std::clamp<long>(initialCount, 0, static_cast<long>(kCountMask - 1)))) {}

void Semaphore::signal() {
    // After this one operation a waiter may take the count, return and destroy the semaphore:
    // the wake-up below only names the address (a stray wake-up of a later user of that memory
    // is harmless; every futex waiter checks its condition again).
    const uint64_t before = state_.fetch_add(1, std::memory_order_release);
    // Only the first count wakes a sleeper; a sleeper that takes a count and sees more wakes
    // the next (wait()). A signaller that outpaces its waiters - the logging hub's queue
    // releasing its callers - thus makes no system call per signal.
    if ((before & kCountMask) == 0 && (before >> 32) != 0) wakeOne(state_);
}

bool Semaphore::tryTake(uint64_t& state, bool leaving) {
    const uint64_t cost = leaving ? 1 + kOneSleeper : 1;
    while ((state & kCountMask) != 0) {
        if (state_.compare_exchange_weak(state, state - cost, std::memory_order_acquire, std::memory_order_relaxed)) {
            // A sleeper that leaves with a count passes the wake-up on while counts remain.
            if (leaving && ((state - cost) & kCountMask) != 0 && ((state - cost) >> 32) != 0) wakeOne(state_);
            return true;
        }
    }
    return false;
}

bool Semaphore::wait(std::optional<std::chrono::nanoseconds> timeout) {
    uint64_t state = state_.load(std::memory_order_relaxed);
    if (tryTake(state, false)) return true;
    if (timeout && *timeout <= std::chrono::nanoseconds::zero()) return false;
    // A moment awake first: the count often comes within microseconds (a busy queue's answer
    // to sync, the logging hub releasing its callers), and a sleep costs the signaller a
    // system call and both sides a context switch.
    const auto spinUntil = std::chrono::steady_clock::now() + (timeout ? std::min(*timeout, kSpinTime) : kSpinTime);
    do {
        for (int i = 0; i < 64; ++i) {
            state = state_.load(std::memory_order_relaxed);
            if ((state & kCountMask) != 0 && tryTake(state, false)) return true;
            cpuRelax();
        }
    } while (std::chrono::steady_clock::now() < spinUntil);
    const std::optional<timespec> deadline = timeout ? std::optional<timespec>(deadlineAfter(*timeout)) : std::nullopt;
    detail::BlockingScope blocking;
    // Counted as a sleeper before looking at the count again: a signal from now on sees us.
    state = state_.fetch_add(kOneSleeper, std::memory_order_relaxed) + kOneSleeper;
    for (;;) {
        if (tryTake(state, true)) return true;
        if (!sleepWhileZero(futexWord(state_), deadline ? &*deadline : nullptr)) {
            // Time is up; a count that came meanwhile is still ours to take.
            state = state_.load(std::memory_order_relaxed);
            if (tryTake(state, true)) return true;
            while (!state_.compare_exchange_weak(state, state - kOneSleeper, std::memory_order_relaxed)) {
                if (tryTake(state, true)) return true;
            }
            return false;
        }
        state = state_.load(std::memory_order_relaxed);
    }
}

}  // namespace platform
