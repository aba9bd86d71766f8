#include "Platform/Dispatch/detail/Reactor.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "Platform/PlainLog.h"

namespace platform::detail {

namespace {

constexpr uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
constexpr uint32_t kWriteEvents = EPOLLOUT;
// What wakes a watcher: errors and hang-ups wake both directions, so that the owner sees them.
constexpr uint32_t kReadReady = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWriteReady = EPOLLOUT | EPOLLHUP | EPOLLERR;

}  // namespace

Reactor& Reactor::shared() {
    // Never destroyed: its thread runs for the life of the process.
    static Reactor* reactor = new Reactor();
    return *reactor;
}

Reactor::Reactor() {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd_ < 0 || wakeFd_ < 0) {
        plainLog("Dispatch reactor: cannot create epoll/eventfd (errno %i)", errno);
        std::abort();
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    std::thread([this] { run(); }).detach();
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

uint64_t Reactor::addTimer(Clock::time_point deadline, std::function<void()> fire) {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t id = nextId_++;
    if (deadline == Clock::time_point::max()) return id;
    bool earliest = timers_.empty() || deadline < timers_.begin()->first.first;
    timers_.emplace(std::make_pair(deadline, id), std::move(fire));
    timerDeadlines_.emplace(id, deadline);
    lock.unlock();
    if (earliest) wake();
    return id;
}

void Reactor::cancelTimer(uint64_t id) {
    std::function<void()> doomed;  // destroyed after the lock: it may own a source
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = timerDeadlines_.find(id);
    if (it == timerDeadlines_.end()) return;
    auto t = timers_.find(std::make_pair(it->second, id));
    if (t != timers_.end()) {
        doomed = std::move(t->second);
        timers_.erase(t);
    }
    timerDeadlines_.erase(it);
}

std::optional<uint64_t> Reactor::addWatcher(int fd, Direction direction, std::weak_ptr<Watcher> watcher,
                                            bool& alwaysReady) {
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) {
        errno = EBADF;
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = fds_.find(fd);
    if (found == fds_.end()) {
        FdEntry entry;
        epoll_event ev{};
        ev.events = EPOLLONESHOT;  // disarmed until a watcher asks
        ev.data.fd = fd;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) < 0) {
            if (errno == EPERM) {
                entry.alwaysReady = true;
            } else if (errno != EEXIST) {
                return std::nullopt;
            }
        }
        found = fds_.emplace(fd, std::move(entry)).first;
    }
    uint64_t id = nextId_++;
    found->second.watchers.push_back(id);
    watchers_.emplace(id, WatcherEntry{fd, direction, std::move(watcher), nullptr, false});
    alwaysReady = found->second.alwaysReady;
    return id;
}

uint32_t Reactor::armedMaskLocked(const FdEntry& entry) const {
    uint32_t mask = 0;
    for (uint64_t id : entry.watchers) {
        auto it = watchers_.find(id);
        if (it == watchers_.end() || !it->second.armed) continue;
        mask |= it->second.direction == Direction::Read ? kReadEvents : kWriteEvents;
    }
    return mask;
}

void Reactor::updateEpollLocked(int fd, const FdEntry& entry) {
    if (entry.alwaysReady) return;
    uint32_t mask = armedMaskLocked(entry);
    if (mask == 0) return;  // stays disarmed after its last one-shot event
    epoll_event ev{};
    ev.events = mask | EPOLLONESHOT;
    ev.data.fd = fd;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) < 0 && errno == ENOENT) {
        // The descriptor was closed and its number reused: watch the new one.
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    }
}

void Reactor::arm(uint64_t id, std::shared_ptr<Watcher> keepAlive) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = watchers_.find(id);
    if (it == watchers_.end()) return;
    it->second.armed = true;
    it->second.keepAlive = std::move(keepAlive);
    auto entry = fds_.find(it->second.fd);
    if (entry == fds_.end()) return;
    if (entry->second.alwaysReady) {
        alwaysReady_.push_back(id);
        lock.unlock();
        wake();
        return;
    }
    updateEpollLocked(it->second.fd, entry->second);
}

void Reactor::removeWatcher(uint64_t id) {
    std::shared_ptr<Watcher> doomed;  // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = watchers_.find(id);
    if (it == watchers_.end()) return;
    int fd = it->second.fd;
    doomed = std::move(it->second.keepAlive);
    watchers_.erase(it);
    auto entry = fds_.find(fd);
    if (entry == fds_.end()) return;
    auto& ids = entry->second.watchers;
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    if (ids.empty()) {
        if (!entry->second.alwaysReady) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        fds_.erase(entry);
    }
    // With watchers left the registration stays as it is; an event for the removed one finds
    // nothing armed and is dropped.
}

void Reactor::run() {
    pthread_setname_np(pthread_self(), "pellix-reactor");
    constexpr int kMaxEvents = 128;
    epoll_event events[kMaxEvents];
    std::vector<std::shared_ptr<Watcher>> ready;
    std::vector<std::function<void()>> fired;
    for (;;) {
        std::optional<Clock::time_point> deadline;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!timers_.empty()) deadline = timers_.begin()->first.first;
        }
        timespec ts{};
        timespec* timeout = nullptr;
        if (deadline) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now());
            if (left < std::chrono::nanoseconds::zero()) left = std::chrono::nanoseconds::zero();
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            timeout = &ts;
        }
        int n = ::epoll_pwait2(epollFd_, events, kMaxEvents, timeout, nullptr);
        if (n < 0) {
            if (errno != EINTR) plainLog("Dispatch reactor: epoll_pwait2 failed (errno %i)", errno);
            n = 0;
        }
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto take = [&](WatcherEntry& w) {
                w.armed = false;
                std::shared_ptr<Watcher> strong = std::move(w.keepAlive);
                if (!strong) strong = w.watcher.lock();
                if (strong) ready.push_back(std::move(strong));
            };
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == wakeFd_) {
                    uint64_t count;
                    ssize_t r = ::read(wakeFd_, &count, sizeof count);
                    (void)r;
                    continue;
                }
                auto entry = fds_.find(fd);
                if (entry == fds_.end()) continue;
                const uint32_t got = events[i].events;
                for (uint64_t id : entry->second.watchers) {
                    auto w = watchers_.find(id);
                    if (w == watchers_.end() || !w->second.armed) continue;
                    uint32_t wanted = w->second.direction == Direction::Read ? kReadReady : kWriteReady;
                    if (got & wanted) take(w->second);
                }
                updateEpollLocked(fd, entry->second);
            }
            for (uint64_t id : alwaysReady_) {
                auto w = watchers_.find(id);
                if (w != watchers_.end() && w->second.armed) take(w->second);
            }
            alwaysReady_.clear();
            while (!timers_.empty() && timers_.begin()->first.first <= now) {
                auto t = timers_.begin();
                timerDeadlines_.erase(t->first.second);
                fired.push_back(std::move(t->second));
                timers_.erase(t);
            }
        }
        for (auto& w : ready) w->onReady();
        for (auto& f : fired) f();
        ready.clear();  // outside the lock: these may be the last owners of sources
        fired.clear();
    }
}

}  // namespace platform::detail
