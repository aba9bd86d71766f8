#include "Platform/Dispatch/Group.h"

#include <algorithm>

#include "Platform/Dispatch/detail/Pool.h"
#include "Platform/PlainLog.h"

namespace platform {

void Group::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pending_;
}

void Group::leave() {
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, Task>> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_ == 0) {
            // An unbalanced leave would make later waits return early; keep the count at 0.
            plainLog("Dispatch group: leave without a matching enter ignored");
            return;
        }
        if (--pending_ > 0) return;
        ready.swap(notifiers_);
        cv_.notify_all();
    }
    for (auto& [queue, task] : ready) queue->async(std::move(task));
}

void Group::async(const std::shared_ptr<DispatchQueue>& queue, Task task) {
    enter();
    // A member that throws is reported before it leaves, so that a waiter sees all of it done.
    queue->async([this, label = queue->label(), task = std::move(task)] {
        detail::runTaskCatching(task, label);
        leave();
    });
}

bool Group::wait(std::optional<std::chrono::nanoseconds> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (pending_ == 0) return true;
    if (timeout && *timeout <= std::chrono::nanoseconds::zero()) return false;
    detail::BlockingScope blocking;
    if (!timeout) {
        cv_.wait(lock, [this] { return pending_ == 0; });
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::min(*timeout, std::chrono::nanoseconds(std::chrono::hours(24 * 365 * 100))));
    return cv_.wait_until(lock, deadline, [this] { return pending_ == 0; });
}

void Group::notify(const std::shared_ptr<DispatchQueue>& queue, Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_ > 0) {
            notifiers_.emplace_back(queue, std::move(task));
            return;
        }
    }
    queue->async(std::move(task));
}

}  // namespace platform
