#include "Platform/Dispatch/detail/Reactor.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <thread>

#include "Platform/Dispatch/detail/Pool.h"
#include "Platform/PlainLog.h"

namespace platform::detail {

namespace {

constexpr uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
constexpr uint32_t kWriteEvents = EPOLLOUT;
// What wakes a watcher: errors and hang-ups wake both directions, so that the owner sees them.
constexpr uint32_t kReadReady = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWriteReady = EPOLLOUT | EPOLLHUP | EPOLLERR;

// epoll's data for the eventfd; descriptors get keys from 1 on.
constexpr uint64_t kWakeKey = 0;

// Deadlines as nanoseconds of the reactor's clock.
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
// sleepUntil_ while the reactor is awake: it looks at every timer before it sleeps again, so
// a new timer needs no wake-up.
constexpr int64_t kAwake = std::numeric_limits<int64_t>::min();

// The reactor, once it runs; takeEventsNow() looks here so that it never starts one.
std::atomic<Reactor*> runningReactor{nullptr};

int64_t nanosOf(Reactor::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The timer shard of the calling thread: threads are dealt out over the shards in turn, so
// that the threads setting timers at once rarely share a lock.
std::size_t threadTimerShard(std::size_t shards) {
    static std::atomic<std::size_t> nextShard{0};
    thread_local const std::size_t shard = nextShard.fetch_add(1, std::memory_order_relaxed) % shards;
    return shard;
}

}  // namespace

// One watched descriptor: its watchers (a read and a write source may share it) and its
// epoll registration, under a lock of its own.
struct Reactor::FdEntry {
    int fd = -1;
    uint64_t key = 0;          // epoll's data for this descriptor
    bool alwaysReady = false;  // set before the entry is shared
    std::mutex mutex;
    std::vector<Watch> watches;  // guarded by mutex
    bool registered = true;      // guarded by mutex; false once the last watcher has left
    uint32_t events = 0;         // guarded by mutex; the directions registered with epoll

    Watch* find(uint64_t id) {
        for (Watch& w : watches)
            if (w.id == id) return &w;
        return nullptr;
    }
};

short readyNow(int fd, short events) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? p.revents : 0;
}

Reactor& Reactor::shared() {
    // Never destroyed: its thread runs for the life of the process.
    static Reactor* reactor = new Reactor();
    return *reactor;
}

Reactor::Reactor() : sleepUntil_(kNever) {
    for (TimerShard& shard : timerShards_) shard.earliest.store(kNever, std::memory_order_relaxed);
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd_ < 0 || wakeFd_ < 0) {
        plainLog("Dispatch reactor: cannot create epoll/eventfd (errno %i)", errno);
        std::abort();
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    std::thread([this] { run(); }).detach();
    runningReactor.store(this, std::memory_order_release);
}

Reactor::Clock::time_point Reactor::deadlineAfter(std::chrono::nanoseconds delay) {
    const auto now = Clock::now();
    if (delay <= std::chrono::nanoseconds::zero()) return now;
    const auto room = Clock::time_point::max() - now;
    if (delay >= room) return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(delay);
}

void Reactor::wake() {
    uint64_t one = 1;
    ssize_t r = ::write(wakeFd_, &one, sizeof one);
    (void)r;  // EAGAIN means a wake-up is pending already
}

Reactor::TimerId Reactor::addTimer(Clock::time_point deadline, std::function<void()> fire) {
    const std::size_t index = threadTimerShard(kTimerShards);
    TimerShard& shard = timerShards_[index];
    const int64_t at = nanosOf(deadline);
    TimerId timer{deadline, 0};
    {
        std::lock_guard<std::mutex> lock(shard.mutex);
        // The shard is in the id, for cancelTimer.
        timer.id = ++shard.issued * kTimerShards + index;
        if (deadline == Clock::time_point::max()) return timer;
        shard.timers.emplace(std::make_pair(deadline, timer.id), std::move(fire));
        if (at < shard.earliest.load(std::memory_order_relaxed)) shard.earliest.store(at, std::memory_order_seq_cst);
    }
    // The reactor publishes how long it sleeps and then looks at every shard; we published our
    // deadline and now look at its sleep. One of the two sees the other (both seq_cst), so a
    // timer is never slept past. Only the thread that lowers the sleep wakes the reactor.
    int64_t sleeping = sleepUntil_.load(std::memory_order_seq_cst);
    while (at < sleeping) {
        if (sleepUntil_.compare_exchange_weak(sleeping, at, std::memory_order_seq_cst)) {
            wake();
            break;
        }
    }
    return timer;
}

void Reactor::cancelTimer(const TimerId& timer) {
    TimerShard& shard = timerShards_[timer.id % kTimerShards];
    std::function<void()> doomed;  // destroyed after the lock: it may own a source
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto it = shard.timers.find(std::make_pair(timer.deadline, timer.id));
    if (it == shard.timers.end()) return;
    doomed = std::move(it->second);
    const bool wasFirst = it == shard.timers.begin();
    shard.timers.erase(it);
    // A later earliest deadline needs no wake-up: the reactor wakes, finds nothing due and
    // sleeps again.
    if (wasFirst)
        shard.earliest.store(shard.timers.empty() ? kNever : nanosOf(shard.timers.begin()->first.first),
                             std::memory_order_seq_cst);
}

int64_t Reactor::earliestDeadline() const {
    int64_t earliest = kNever;
    for (const TimerShard& shard : timerShards_) earliest = std::min(earliest, shard.earliest.load(std::memory_order_seq_cst));
    return earliest;
}

void Reactor::takeDueTimers(int64_t now, std::vector<std::function<void()>>& fired) {
    for (TimerShard& shard : timerShards_) {
        if (shard.earliest.load(std::memory_order_seq_cst) > now) continue;
        std::lock_guard<std::mutex> lock(shard.mutex);
        while (!shard.timers.empty() && nanosOf(shard.timers.begin()->first.first) <= now) {
            auto t = shard.timers.begin();
            fired.push_back(std::move(t->second));
            shard.timers.erase(t);
        }
        shard.earliest.store(shard.timers.empty() ? kNever : nanosOf(shard.timers.begin()->first.first),
                             std::memory_order_seq_cst);
    }
}

std::optional<Reactor::WatchId> Reactor::addWatcher(int fd, Direction direction, std::weak_ptr<Watcher> watcher,
                                                    bool& alwaysReady) {
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) {
        errno = EBADF;
        return std::nullopt;
    }
    std::lock_guard<std::mutex> registryLock(registryMutex_);
    std::shared_ptr<FdEntry>& entry = fds_[fd];
    if (!entry) {
        auto made = std::make_shared<FdEntry>();
        made->fd = fd;
        made->key = nextEntryKey_++;
        epoll_event ev{};
        ev.events = EPOLLET;  // no direction until a watcher is armed
        ev.data.u64 = made->key;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) < 0) {
            if (errno == EPERM) {
                made->alwaysReady = true;
            } else if (errno != EEXIST || ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) < 0) {
                // (EEXIST: still registered under an earlier key, which now becomes ours.)
                int saved = errno;
                fds_.erase(fd);
                errno = saved;
                return std::nullopt;
            }
        }
        byKey_.emplace(made->key, made);
        watched_.store(byKey_.size(), std::memory_order_relaxed);
        entry = std::move(made);
    }
    const uint64_t id = nextWatchId_++;
    std::lock_guard<std::mutex> lock(entry->mutex);
    // Registered anew at the next arming: the number may now name a new descriptor, which
    // epoll does not know yet.
    entry->events = 0;
    entry->watches.push_back(Watch{id, direction, std::move(watcher), nullptr, false});
    alwaysReady = entry->alwaysReady;
    return WatchId{entry, id};
}

void Reactor::updateEpollLocked(FdEntry& entry) {
    if (entry.alwaysReady || !entry.registered) return;
    uint32_t wanted = 0;
    for (const Watch& w : entry.watches)
        if (w.armed) wanted |= w.direction == Direction::Read ? kReadEvents : kWriteEvents;
    if ((wanted & ~entry.events) == 0) return;  // registered already, and it stays
    entry.events |= wanted;
    epoll_event ev{};
    ev.events = entry.events | EPOLLET;
    ev.data.u64 = entry.key;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, entry.fd, &ev) < 0 && errno == ENOENT) {
        // The descriptor was closed and its number reused: watch the new one.
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, entry.fd, &ev);
    }
}

bool Reactor::arm(const WatchId& watch, std::shared_ptr<Watcher> keepAlive, bool look) {
    FdEntry& entry = *watch.entry;
    std::shared_ptr<Watcher> doomed;  // a keep-alive replaced by this one goes after the lock
    Direction direction;
    {
        std::unique_lock<std::mutex> lock(entry.mutex);
        Watch* w = entry.find(watch.id);
        if (!w) return false;
        w->armed = true;
        doomed = std::exchange(w->keepAlive, std::move(keepAlive));
        direction = w->direction;
        // An edge while not armed may be readiness still there, or one its owner has used up
        // since (often the one the look at the last arming found): looking tells which, where
        // a delivery would run the owner for nothing.
        look = look || std::exchange(w->missed, false) || w->hungUp;
        if (entry.alwaysReady) {
            lock.unlock();
            {
                std::lock_guard<std::mutex> readyLock(alwaysReadyMutex_);
                alwaysReady_.emplace_back(watch.entry, watch.id);
            }
            wake();
            return false;
        }
        updateEpollLocked(entry);
    }
    if (!look) return false;
    // Armed first and then one look: readiness from before the arming is found here, and what
    // comes after it reaches epoll as an edge. When both see the same readiness, whichever
    // disarms the watch first delivers it.
    const short ready = readyNow(entry.fd, direction == Direction::Read ? POLLIN | POLLRDHUP : POLLOUT);
    if (ready == 0) return false;
    std::shared_ptr<Watcher> taken;  // released after the lock
    std::lock_guard<std::mutex> lock(entry.mutex);
    Watch* w = entry.find(watch.id);
    if (!w || !w->armed) return false;  // the reactor took the event first, or the watch is gone
    w->armed = false;
    if (ready & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) w->hungUp = true;
    taken = std::move(w->keepAlive);
    return true;
}

void Reactor::removeWatcher(const WatchId& watch) {
    std::shared_ptr<Watcher> doomed;  // released after the locks
    FdEntry& entry = *watch.entry;
    std::lock_guard<std::mutex> registryLock(registryMutex_);
    std::lock_guard<std::mutex> lock(entry.mutex);
    auto it = std::find_if(entry.watches.begin(), entry.watches.end(), [&](const Watch& w) { return w.id == watch.id; });
    if (it == entry.watches.end()) return;
    doomed = std::move(it->keepAlive);
    entry.watches.erase(it);
    if (!entry.watches.empty()) return;
    // With watchers left the registration stays as it is; an event for the removed one finds
    // nothing armed and is dropped.
    if (!entry.alwaysReady) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, entry.fd, nullptr);
    entry.registered = false;
    auto found = fds_.find(entry.fd);
    if (found != fds_.end() && found->second == watch.entry) fds_.erase(found);
    byKey_.erase(entry.key);
    watched_.store(byKey_.size(), std::memory_order_relaxed);
}

void Reactor::lookUp(const epoll_event* events, int n,
                     std::vector<std::pair<std::shared_ptr<FdEntry>, uint32_t>>& hits) {
    // One look at the registry for the whole batch of events.
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeKey) continue;
        auto found = byKey_.find(events[i].data.u64);
        if (found != byKey_.end()) hits.emplace_back(found->second, static_cast<uint32_t>(events[i].events));
    }
}

bool Reactor::takeEventsNow() {
    Reactor* reactor = runningReactor.load(std::memory_order_acquire);
    if (!reactor || reactor->watched_.load(std::memory_order_relaxed) == 0) return false;
    constexpr int kMaxEvents = 32;
    epoll_event events[kMaxEvents];
    const int n = ::epoll_wait(reactor->epollFd_, events, kMaxEvents, 0);
    if (n <= 0) return false;
    // Kept per thread, so that an event on a request's path costs no allocation. The reactor's
    // own wake-up (level-triggered, and left unread) stays for its thread: lookUp skips it.
    thread_local std::vector<std::pair<std::shared_ptr<FdEntry>, uint32_t>> hits;
    thread_local std::vector<std::shared_ptr<Watcher>> ready;
    reactor->lookUp(events, n, hits);
    for (auto& [entry, got] : hits) reactor->takeReady(*entry, got, ready);
    for (auto& w : ready) w->onReady();
    const bool any = !ready.empty();
    // Outside every lock: the watchers and entries may be the last owners of sources.
    ready.clear();
    hits.clear();
    return any;
}

void Reactor::takeReady(FdEntry& entry, uint32_t got, std::vector<std::shared_ptr<Watcher>>& ready) {
    std::lock_guard<std::mutex> lock(entry.mutex);
    for (Watch& w : entry.watches) {
        if ((got & (w.direction == Direction::Read ? kReadReady : kWriteReady)) == 0) continue;
        if (got & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) w.hungUp = true;
        if (!w.armed) {
            w.missed = true;
            continue;
        }
        w.armed = false;
        std::shared_ptr<Watcher> strong = std::move(w.keepAlive);
        if (!strong) strong = w.watcher.lock();
        if (strong) ready.push_back(std::move(strong));
    }
}

void Reactor::run() {
    pthread_setname_np(pthread_self(), "pellix-reactor");
    constexpr int kMaxEvents = 128;
    epoll_event events[kMaxEvents];
    std::vector<std::pair<std::shared_ptr<FdEntry>, uint32_t>> hits;
    std::vector<std::pair<std::shared_ptr<FdEntry>, uint64_t>> readyFiles;
    std::vector<std::shared_ptr<Watcher>> ready;
    std::vector<std::function<void()>> fired;
    for (;;) {
        // Publish the sleep first, then look at the timers once more (see addTimer).
        int64_t deadline = earliestDeadline();
        sleepUntil_.store(deadline, std::memory_order_seq_cst);
        deadline = std::min(deadline, earliestDeadline());
        timespec ts{};
        timespec* timeout = nullptr;
        if (deadline != kNever) {
            int64_t left = std::max<int64_t>(0, deadline - nanosOf(Clock::now()));
            ts.tv_sec = static_cast<time_t>(left / 1000000000);
            ts.tv_nsec = static_cast<long>(left % 1000000000);
            timeout = &ts;
        }
        int n = ::epoll_pwait2(epollFd_, events, kMaxEvents, timeout, nullptr);
        sleepUntil_.store(kAwake, std::memory_order_seq_cst);
        if (n < 0) {
            if (errno != EINTR) plainLog("Dispatch reactor: epoll_pwait2 failed (errno %i)", errno);
            n = 0;
        }
        lookUp(events, n, hits);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 != kWakeKey) continue;
            uint64_t count;
            ssize_t r = ::read(wakeFd_, &count, sizeof count);
            (void)r;
        }
        for (auto& [entry, got] : hits) takeReady(*entry, got, ready);
        {
            std::lock_guard<std::mutex> lock(alwaysReadyMutex_);
            readyFiles.swap(alwaysReady_);
        }
        for (auto& [entry, id] : readyFiles) {
            std::lock_guard<std::mutex> lock(entry->mutex);
            Watch* w = entry->find(id);
            if (!w || !w->armed) continue;
            w->armed = false;
            std::shared_ptr<Watcher> strong = std::move(w->keepAlive);
            if (!strong) strong = w->watcher.lock();
            if (strong) ready.push_back(std::move(strong));
        }
        takeDueTimers(nanosOf(Clock::now()), fired);
        {
            // Everything this wake-up made ready is listed on the pool in one go.
            Pool::SubmissionBatch batch;
            for (auto& w : ready) w->onReady();
            for (auto& f : fired) f();
        }
        // Outside every lock: these may be the last owners of sources.
        ready.clear();
        fired.clear();
        hits.clear();
        readyFiles.clear();
    }
}

}  // namespace platform::detail
