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

// The state word. Its low half is the futex word that sleepers wait on: the count, and the
// baton, the spinner's place handed to a sleeper (see wait()). Sleepers sleep only while both
// are 0, so a baton, like a count, is never slept through. The high half holds whether a
// waiter spins for a count (or a baton is on its way to become that waiter) and the number of
// sleepers.
constexpr uint64_t kCountMask = 0x7fffffffu;
constexpr uint64_t kBaton = uint64_t{1} << 31;
constexpr uint64_t kSpinner = uint64_t{1} << 32;
constexpr uint64_t kOneSleeper = uint64_t{1} << 33;
constexpr std::chrono::nanoseconds kSpinTime = std::chrono::microseconds(20);

constexpr uint64_t countOf(uint64_t state) { return state & kCountMask; }
constexpr uint64_t sleepersOf(uint64_t state) { return state / kOneSleeper; }

using Clock = std::chrono::steady_clock;

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

// Sleeps while the futex word is 0, until woken or the absolute deadline on CLOCK_MONOTONIC
// (the clock of steady_clock) has passed. Returns false on the deadline.
bool sleepWhileZero(uint32_t* word, const timespec* deadline) {
    long r = ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0u, deadline, nullptr,
                       FUTEX_BITSET_MATCH_ANY);
    return !(r == -1 && errno == ETIMEDOUT);
}

void wakeOne(std::atomic<uint64_t>& state) {
    ::syscall(SYS_futex, futexWord(state), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

timespec timespecOf(Clock::time_point at) {
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

}  // namespace

Semaphore::Semaphore(long initialCount)
    : state_(static_cast<uint64_t>(std::clamp<long>(initialCount, 0, static_cast<long>(kCountMask - 1)))) {}

void Semaphore::signal() {
    // After this one operation a waiter may take the count, return and destroy the semaphore:
    // the wake-up below only names the address (a stray wake-up of a later user of that memory
    // is harmless; every futex waiter checks its condition again).
    const uint64_t before = state_.fetch_add(1, std::memory_order_release);
    // Only the first count wakes a sleeper, and only when no waiter spins: the spinner takes
    // the count without a system call and hands its place on (tryTake()). A signaller that
    // outpaces its waiters - the logging hub's queue releasing its callers - thus makes no
    // system call per signal.
    if (countOf(before) == 0 && sleepersOf(before) != 0 && (before & kSpinner) == 0) wakeOne(state_);
}

bool Semaphore::tryTake(uint64_t& state, uint64_t role) {
    while (countOf(state) != 0) {
        uint64_t next = state - 1 - role;
        bool wake = false;
        if (role == kSpinner && sleepersOf(next) != 0) {
            // The spinner's place goes to a sleeper with the baton: signals keep waking nobody
            // while it comes, and the counts they leave wait for it.
            next += kSpinner | kBaton;
            wake = true;
        } else if (role == kOneSleeper) {
            // A sleeper that leaves with a count passes the wake-up on while counts remain and
            // no spinner is there to take them.
            wake = countOf(next) != 0 && sleepersOf(next) != 0 && (next & kSpinner) == 0;
        }
        if (state_.compare_exchange_weak(state, next, std::memory_order_acquire, std::memory_order_relaxed)) {
            if (wake) wakeOne(state_);
            return true;
        }
    }
    return false;
}

bool Semaphore::spin(uint64_t& state, Clock::time_point until) {
    do {
        for (int i = 0; i < 64; ++i) {
            state = state_.load(std::memory_order_relaxed);
            if (countOf(state) != 0 && tryTake(state, kSpinner)) return true;
            cpuRelax();
        }
    } while (Clock::now() < until);
    return false;
}

bool Semaphore::wait(std::optional<std::chrono::nanoseconds> timeout) {
    uint64_t state = state_.load(std::memory_order_relaxed);
    if (tryTake(state, 0)) return true;
    if (timeout && *timeout <= std::chrono::nanoseconds::zero()) return false;
    const Clock::time_point start = Clock::now();
    // The end of the wait; time_point::max() for none.
    const Clock::time_point limit =
        timeout ? start + std::chrono::duration_cast<Clock::duration>(
                              std::min(*timeout, std::chrono::nanoseconds(std::chrono::hours(24 * 365 * 100))))
                : Clock::time_point::max();
    auto spinUntil = [&](Clock::time_point from) { return std::min(limit, from + kSpinTime); };

    // A moment awake first: the count often comes within microseconds (a busy queue's answer
    // to sync, the logging hub releasing its callers), and a sleep costs the signaller a
    // system call and both sides a context switch. But one waiter spins at a time: more would
    // only take cores from the signaller (the logging hub's queue, with every caller waiting
    // for its window) and fight over this word for counts that come one at a time.
    uint64_t role = 0;
    while ((state & kSpinner) == 0) {
        if (countOf(state) != 0) {
            if (tryTake(state, 0)) return true;
            continue;
        }
        if (state_.compare_exchange_weak(state, state | kSpinner, std::memory_order_relaxed,
                                         std::memory_order_relaxed)) {
            state |= kSpinner;
            role = kSpinner;
            if (spin(state, spinUntil(start))) return true;
            break;
        }
    }

    detail::BlockingScope blocking;
    const timespec deadline = timespecOf(timeout ? limit : start);
    for (;;) {
        if (role == kSpinner) {
            // The spin found no count: sleep, or leave when the time is up. Either way the
            // spinner's place is given up in the same operation that looks at the count once more.
            const bool late = timeout && Clock::now() >= limit;
            for (;;) {
                if (tryTake(state, kSpinner)) return true;
                const uint64_t next = late ? state - kSpinner : state - kSpinner + kOneSleeper;
                if (state_.compare_exchange_weak(state, next, std::memory_order_relaxed)) {
                    state = next;
                    break;
                }
            }
            if (late) return false;
            role = kOneSleeper;
        } else if (role == 0) {
            // Counted as a sleeper before looking at the count again: a signal from now on sees us.
            state = state_.fetch_add(kOneSleeper, std::memory_order_relaxed) + kOneSleeper;
            role = kOneSleeper;
        }
        // A sleeper. Whoever finds the baton takes it, before anything else: it stands for the
        // spinner that signals count on to take their counts.
        if ((state & kBaton) != 0) {
            if (state_.compare_exchange_weak(state, state - kBaton - kOneSleeper, std::memory_order_relaxed)) {
                state -= kBaton + kOneSleeper;
                role = kSpinner;
                if (spin(state, spinUntil(Clock::now()))) return true;
            }
            continue;
        }
        if (tryTake(state, kOneSleeper)) return true;
        if (!sleepWhileZero(futexWord(state_), timeout ? &deadline : nullptr)) {
            // Time is up; a count that came meanwhile is still ours to take, and a baton is
            // ours to carry out (the loop above gives the spinner's place up again).
            state = state_.load(std::memory_order_relaxed);
            for (;;) {
                if ((state & kBaton) != 0) {
                    if (state_.compare_exchange_weak(state, state - kBaton - kOneSleeper,
                                                     std::memory_order_relaxed)) {
                        state -= kBaton + kOneSleeper;
                        role = kSpinner;
                        break;
                    }
                    continue;
                }
                if (tryTake(state, kOneSleeper)) return true;
                if (state_.compare_exchange_weak(state, state - kOneSleeper, std::memory_order_relaxed))
                    return false;
            }
            continue;  // as the spinner, now past the time
        }
        state = state_.load(std::memory_order_relaxed);
    }
}

}  // namespace platform
