// A monotonic clock that keeps counting while the machine sleeps (CLOCK_BOOTTIME), for
// deadlines measured in wall time: a document key that lives 300 seconds must not outlive
// them because the machine was suspended in between (std::chrono::steady_clock stops then).
//
// Satisfies the standard's Clock requirements; callable from any thread.
#pragma once

#include <time.h>

#include <chrono>

namespace platform {

struct BootClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<BootClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
        timespec ts{};
        ::clock_gettime(CLOCK_BOOTTIME, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};

}  // namespace platform
