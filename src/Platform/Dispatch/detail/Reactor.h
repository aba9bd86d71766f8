// The one reactor thread behind every dispatch source and DispatchQueue::after. Internal to
// the dispatch layer.
//
// It watches descriptors with epoll (each registration one-shot, armed again by its owner once
// the event has been dealt with, which gives level-triggered behaviour without a storm of
// wake-ups) and keeps every timer in one ordered table whose earliest deadline is the epoll
// time-out; an eventfd wakes it when that changes. Descriptors epoll cannot watch (regular
// files) are always ready.
//
// The reactor never runs user code: a watcher's onReady() and a timer's fire function are the
// dispatch layer's own and only post work to a queue. They run on the reactor thread, with no
// reactor lock held, so they may call back into the reactor.
//
// All operations may be called from any thread.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform::detail {

class Reactor {
public:
    using Clock = std::chrono::steady_clock;
    enum class Direction { Read, Write };

    class Watcher {
    public:
        virtual ~Watcher() = default;
        // The descriptor is ready in the watched direction. Runs on the reactor thread.
        virtual void onReady() = 0;
    };

    static Reactor& shared();

    // now + delay, saturating at Clock::time_point::max() ("never").
    static Clock::time_point deadlineAfter(std::chrono::nanoseconds delay);

    // Calls fire on the reactor thread once the deadline has passed. Returns an id for
    // cancelTimer. A deadline of Clock::time_point::max() never fires.
    uint64_t addTimer(Clock::time_point deadline, std::function<void()> fire);
    // Removes the timer if it has not fired yet.
    void cancelTimer(uint64_t id);

    // Registers a watcher of fd in one direction, disarmed. Returns its id, or nullopt (errno
    // set) when the descriptor cannot be watched. alwaysReady is set when the descriptor is
    // one that epoll does not watch (a regular file).
    std::optional<uint64_t> addWatcher(int fd, Direction direction, std::weak_ptr<Watcher> watcher,
                                       bool& alwaysReady);
    // Asks for one onReady() once the descriptor is ready. The reactor holds keepAlive until
    // then (or until the watcher is removed).
    void arm(uint64_t id, std::shared_ptr<Watcher> keepAlive);
    // Stops watching; an onReady() already under way may still arrive.
    void removeWatcher(uint64_t id);

private:
    struct WatcherEntry {
        int fd;
        Direction direction;
        std::weak_ptr<Watcher> watcher;
        std::shared_ptr<Watcher> keepAlive;  // set while armed
        bool armed = false;
    };
    struct FdEntry {
        std::vector<uint64_t> watchers;
        bool alwaysReady = false;
    };

    Reactor();
    void run();
    void wake();
    uint32_t armedMaskLocked(const FdEntry& entry) const;
    void updateEpollLocked(int fd, const FdEntry& entry);

    int epollFd_ = -1;
    int wakeFd_ = -1;

    std::mutex mutex_;
    uint64_t nextId_ = 1;                                              // guarded by mutex_
    std::unordered_map<int, FdEntry> fds_;                             // guarded by mutex_
    std::unordered_map<uint64_t, WatcherEntry> watchers_;              // guarded by mutex_
    std::vector<uint64_t> alwaysReady_;                                // guarded by mutex_
    std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> timers_;  // guarded by mutex_
    std::unordered_map<uint64_t, Clock::time_point> timerDeadlines_;  // guarded by mutex_
};

}  // namespace platform::detail
