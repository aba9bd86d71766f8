// Polls a condition until it holds or the time is up: for effects that land on other threads.
#pragma once

#include <chrono>
#include <thread>

namespace testtools {

// True as soon as condition() holds; false when it still does not after limit. Checks every
// step.
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10),
                std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace testtools
