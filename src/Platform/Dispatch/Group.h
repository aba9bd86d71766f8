// A dispatch group: counts tasks in flight so that a caller can wait for all of them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

class Group {
public:
    Group() = default;
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    void enter();
    void leave();
    // Runs the task on the queue as a member of the group.
    void async(const std::shared_ptr<DispatchQueue>& queue, Task task);
    // Waits until no member is in flight; false when the timeout passed first.
    bool wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt);
    // Runs the task on the queue once no member is in flight (at once when none is).
    void notify(const std::shared_ptr<DispatchQueue>& queue, Task task);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long pending_ = 0;                                                         // guarded by mutex_
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, Task>> notifiers_;  // guarded by mutex_
};

}  // namespace platform
