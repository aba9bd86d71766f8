// The one reactor thread behind every dispatch source and DispatchQueue::after. Internal to
// the dispatch layer.
//
// It watches descriptors with epoll and keeps the timers, whose earliest deadline is the epoll
// time-out; an eventfd wakes it when that deadline moves closer. Descriptors epoll cannot watch
// (regular files) are always ready.
//
// A watcher is level-triggered: armed, it hears of a descriptor that is ready, whether the
// readiness is new or was left over from before. The epoll registration is edge-triggered and
// stays in place for the life of the watch, so that arming again, which a socket does after
// every read, costs no epoll_ctl. Arming then looks at the descriptor once (poll) for
// readiness that no edge will announce: what its owner left unread, and what came while the
// watch was not armed, whose edge is kept as "missed". An owner that has read everything the
// last event reported can skip that look, unless an edge was missed or the descriptor has
// hung up, which leaves it ready for good.
//
// Nothing that many threads do at once shares a lock: each watched descriptor has a lock of
// its own (arming takes only that one), and the timers are spread over shards by the thread
// that sets them. The registry of descriptors is locked when a watcher comes or goes and once
// per batch of events.
//
// The reactor never runs user code: a watcher's onReady() and a timer's fire function are the
// dispatch layer's own and only post work to a queue. They run on the reactor thread, with no
// reactor lock held, so they may call back into the reactor.
//
// A pool worker about to go idle may take the descriptor events that are ready itself
// (takeEventsNow), so that the work an event posts starts on that worker at once, with no hop
// from the reactor thread. The kernel still wakes the reactor thread for the event; finding it
// taken, the reactor sleeps on. Timers stay with the reactor thread.
//
// All operations may be called from any thread.
#pragma once

#include <sys/epoll.h>

#include <array>
#include <atomic>
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

// One poll() of fd that does not wait: the events of `events` (and hang-ups and errors) that
// are ready now, 0 when none are.
short readyNow(int fd, short events);

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

    struct FdEntry;
    // One registered watcher, as addWatcher hands it out.
    struct WatchId {
        std::shared_ptr<FdEntry> entry;
        uint64_t id = 0;
    };
    // One timer, as addTimer hands it out.
    struct TimerId {
        Clock::time_point deadline;
        uint64_t id = 0;
    };

    static Reactor& shared();

    // now + delay, saturating at Clock::time_point::max() ("never").
    static Clock::time_point deadlineAfter(std::chrono::nanoseconds delay);

    // Calls fire on the reactor thread once the deadline has passed. Returns an id for
    // cancelTimer. A deadline of Clock::time_point::max() never fires.
    TimerId addTimer(Clock::time_point deadline, std::function<void()> fire);
    // Removes the timer if it has not fired yet.
    void cancelTimer(const TimerId& timer);

    // Registers a watcher of fd in one direction, disarmed. Returns its id, or nullopt (errno
    // set) when the descriptor cannot be watched. alwaysReady is set when the descriptor is
    // one that epoll does not watch (a regular file).
    std::optional<WatchId> addWatcher(int fd, Direction direction, std::weak_ptr<Watcher> watcher, bool& alwaysReady);
    // Asks for one onReady() once the descriptor is ready. The reactor holds keepAlive until
    // then (or until the watcher is removed). Returns true, with the watch left disarmed and no
    // onReady() to come, when the look at arming finds the descriptor ready: the caller takes
    // that as the event. look asks for that look; it is taken anyway after a missed edge or a
    // hang-up. A regular file is always ready and is still reported through onReady().
    [[nodiscard]] bool arm(const WatchId& watch, std::shared_ptr<Watcher> keepAlive, bool look);
    // Stops watching; an onReady() already under way may still arrive.
    void removeWatcher(const WatchId& watch);

    // Takes the descriptor events that are ready now, without waiting, and calls their
    // watchers' onReady() on the calling thread. Returns whether any watcher was ready. Does
    // nothing, and returns false, while no reactor exists (it never starts one) or while no
    // descriptor is watched.
    static bool takeEventsNow();

private:
    struct Watch {
        uint64_t id;
        Direction direction;
        std::weak_ptr<Watcher> watcher;
        std::shared_ptr<Watcher> keepAlive;  // set while armed
        bool armed = false;
        bool missed = false;  // an edge came while not armed: the next arming looks
        bool hungUp = false;  // a hang-up or an error was seen: ready for good, always looked at
    };

    static constexpr std::size_t kTimerShards = 16;
    struct alignas(64) TimerShard {
        std::mutex mutex;
        std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> timers;  // guarded by mutex
        uint64_t issued = 0;                                                             // guarded by mutex
        // The earliest deadline in timers (nanoseconds of Clock, kNever when none); written
        // under mutex, read by the reactor without it.
        std::atomic<int64_t> earliest;
    };

    Reactor();
    void run();
    void wake();
    void updateEpollLocked(FdEntry& entry);
    // The registry's entries for a batch of epoll events (the reactor's own wake-ups left out).
    void lookUp(const epoll_event* events, int n, std::vector<std::pair<std::shared_ptr<FdEntry>, uint32_t>>& hits);
    void takeReady(FdEntry& entry, uint32_t got, std::vector<std::shared_ptr<Watcher>>& ready);
    int64_t earliestDeadline() const;
    void takeDueTimers(int64_t now, std::vector<std::function<void()>>& fired);

    int epollFd_ = -1;
    int wakeFd_ = -1;

    std::mutex registryMutex_;
    uint64_t nextWatchId_ = 1;                                       // guarded by registryMutex_
    uint64_t nextEntryKey_ = 1;                                      // guarded by registryMutex_
    std::unordered_map<int, std::shared_ptr<FdEntry>> fds_;          // guarded by registryMutex_
    std::unordered_map<uint64_t, std::shared_ptr<FdEntry>> byKey_;   // guarded by registryMutex_; epoll's data
    // byKey_.size(), for takeEventsNow to skip the system call while nothing is watched.
    std::atomic<std::size_t> watched_{0};

    std::mutex alwaysReadyMutex_;
    std::vector<std::pair<std::shared_ptr<FdEntry>, uint64_t>> alwaysReady_;  // guarded by alwaysReadyMutex_

    std::array<TimerShard, kTimerShards> timerShards_;
    // The deadline the reactor sleeps until (nanoseconds of Clock); a timer set before it
    // lowers it and wakes the reactor.
    std::atomic<int64_t> sleepUntil_;
};

}  // namespace platform::detail
