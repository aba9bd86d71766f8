#include "Platform/Dispatch/DispatchSource.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/sockios.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>

#include "Platform/Dispatch/detail/Pool.h"
#include "Platform/Dispatch/detail/Reactor.h"
#include "Platform/PlainLog.h"

namespace platform {

namespace {

using detail::Reactor;

// The life every source shares: suspension count, at most one delivery in flight, cancel.
//
// A "delivery" is one task on the target queue that runs the event handler. inFlight_ is set
// from posting until the handler has returned, so the handler never runs twice at once and
// the cancel handler can wait for it. An event seen while suspended (or while a delivery is
// under way) is remembered in pending_ and delivered later.
class SourceBase : public DispatchSource,
                   public Reactor::Watcher,
                   public std::enable_shared_from_this<SourceBase> {
public:
    explicit SourceBase(std::shared_ptr<DispatchQueue> target) : target_(std::move(target)) {}

    void setEventHandler(Task handler) override {
        // Made before the lock is taken: what it allocates is no reason to hold up a delivery.
        auto shared = std::make_shared<const Task>(std::move(handler));
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelled_) eventHandler_ = std::move(shared);
    }

    void setCancelHandler(Task handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelPosted_) cancelHandler_ = std::move(handler);
    }

    void setTimer(std::chrono::nanoseconds, std::chrono::nanoseconds, std::chrono::nanoseconds) override {}

    uint64_t data() const override { return data_.load(std::memory_order_relaxed); }

    void markDrained() override {}

    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (suspendCount_ == 0) {
            // More resumes than suspends: the platform would crash; we keep the count sane.
            plainLog("Dispatch source on \"%@\": resume without a matching suspend ignored", target_->label());
            return;
        }
        if (--suspendCount_ > 0 || inFlight_) return;
        if (cancelled_) {
            postCancelLocked();
        } else if (pending_) {
            postDeliveryLocked();
        } else {
            armLocked(true);
        }
    }

    void cancel() override {
        // Unregistering drops the reactor's reference; ours keeps the source (and the mutex
        // we hold) alive until we are done.
        auto self = shared_from_this();
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        disarmLocked();
        if (!inFlight_ && suspendCount_ == 0) postCancelLocked();
    }

    bool isCancelled() const override { return cancelled_.load(); }

    // An event happened (reactor thread).
    void onReady() override {
        std::lock_guard<std::mutex> lock(mutex_);
        eventLocked();
    }

protected:
    void eventLocked() {
        armed_ = false;
        if (cancelled_) return;
        pending_ = true;
        if (suspendCount_ == 0 && !inFlight_) postDeliveryLocked();
    }

    // Asks for the next event (descriptors); timers run on their own schedule. look: whether
    // the descriptor may hold readiness that no new event will announce (see markDrained).
    virtual void armLocked(bool /*look*/) {}
    virtual void disarmLocked() {}
    // The handler's data, read just before it runs, with no lock held. nullopt: nothing to
    // deliver after all (a timer whose schedule was replaced).
    virtual std::optional<uint64_t> collectData() = 0;

    std::mutex mutex_;
    const std::shared_ptr<DispatchQueue> target_;
    bool armed_ = false;  // guarded by mutex_; waiting for the reactor's next onReady()
    bool drained_ = false;  // set by the running handler (markDrained), read after it returns

private:
    void postDeliveryLocked() {
        inFlight_ = true;
        auto self = shared_from_this();
        target_->async([self] { self->deliver(); });
    }

    void postCancelLocked() {
        if (cancelPosted_) return;
        cancelPosted_ = true;
        auto self = shared_from_this();
        target_->async([self] { self->runCancelHandler(); });
    }

    // On the target queue.
    void deliver() {
        std::shared_ptr<const Task> handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_ || suspendCount_ > 0) {
                inFlight_ = false;
                if (cancelled_ && suspendCount_ == 0) postCancelLocked();
                return;
            }
            pending_ = false;
            handler = eventHandler_;
        }
        if (auto data = collectData()) {
            data_.store(*data, std::memory_order_relaxed);
            if (handler) detail::runTaskCatching(*handler, target_->label());
        }
        // Set by the handler, on this thread.
        const bool drained = std::exchange(drained_, false);
        handler.reset();
        bool cancelNow = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inFlight_ = false;
            if (suspendCount_ > 0) return;  // resume() carries on
            if (cancelled_) {
                // We are on the target queue and the last handler is done: cancel here.
                cancelNow = !cancelPosted_;
                cancelPosted_ = true;
            } else if (pending_) {
                postDeliveryLocked();
            } else {
                armLocked(!drained);
            }
        }
        if (cancelNow) runCancelHandler();
    }

    void runCancelHandler() {
        Task cancelHandler;
        std::shared_ptr<const Task> eventHandler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelHandler = std::move(cancelHandler_);
            eventHandler = std::move(eventHandler_);  // cancelling releases what the handlers hold
            cancelHandler_ = nullptr;
            eventHandler_ = nullptr;
        }
        detail::runTaskCatching(cancelHandler, target_->label());
    }

    // Shared with a delivery under way, which holds it while the handler runs: a delivery
    // takes a reference instead of a copy of the handler and what it captured.
    std::shared_ptr<const Task> eventHandler_;  // guarded by mutex_
    Task cancelHandler_;                // guarded by mutex_
    long suspendCount_ = 1;             // guarded by mutex_
    std::atomic<bool> cancelled_{false};  // written under mutex_
    bool cancelPosted_ = false;         // guarded by mutex_
    bool inFlight_ = false;             // guarded by mutex_
    bool pending_ = false;              // guarded by mutex_
    std::atomic<uint64_t> data_{0};
};

class FdSource final : public SourceBase {
public:
    FdSource(Type type, int fd, std::shared_ptr<DispatchQueue> target)
        : SourceBase(std::move(target)), type_(type), fd_(fd) {
        int accepting = 0;
        socklen_t len = sizeof accepting;
        listening_ = ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting != 0;
    }

    ~FdSource() override {
        if (watcherId_) Reactor::shared().removeWatcher(*watcherId_);
    }

    bool registerWithReactor() {
        auto direction = type_ == Type::Read ? Reactor::Direction::Read : Reactor::Direction::Write;
        std::weak_ptr<Reactor::Watcher> weak = std::static_pointer_cast<Reactor::Watcher>(shared_from_this());
        watcherId_ = Reactor::shared().addWatcher(fd_, direction, std::move(weak), alwaysReady_);
        return watcherId_.has_value();
    }

    Type type() const override { return type_; }
    int fd() const override { return fd_; }

    // Only a read source can tell: readiness to write has no amount that a handler uses up.
    void markDrained() override {
        if (type_ == Type::Read) drained_ = true;
    }

protected:
    void armLocked(bool look) override {
        if (armed_ || !watcherId_) return;
        armed_ = true;
        // Ready already: the reactor hands the event straight back.
        if (Reactor::shared().arm(*watcherId_, std::static_pointer_cast<Reactor::Watcher>(shared_from_this()), look))
            eventLocked();
    }

    void disarmLocked() override {
        if (!watcherId_) return;
        Reactor::shared().removeWatcher(*watcherId_);
        watcherId_.reset();
        armed_ = false;
    }

    std::optional<uint64_t> collectData() override { return type_ == Type::Read ? readable() : writable(); }

private:
    std::optional<uint64_t> readable() const {
        if (listening_) return pendingConnections();
        if (alwaysReady_) {
            struct stat st;
            off_t at = ::lseek(fd_, 0, SEEK_CUR);
            if (::fstat(fd_, &st) != 0 || at < 0) return 0;
            return st.st_size > at ? static_cast<uint64_t>(st.st_size - at) : 0;
        }
        int n = 0;
        if (::ioctl(fd_, FIONREAD, &n) != 0) return 1;  // readable, amount unknown
        if (n > 0) return static_cast<uint64_t>(n);
        // Nothing queued: the end of the stream, or a readiness that a read made since the
        // event has already used up. Only the first may reach the handler as 0, or a socket
        // would take a busy connection for a closed one.
        // poll() tells them apart for sockets, pipes and terminals alike.
        if (detail::readyNow(fd_, POLLIN | POLLRDHUP) == 0) return std::nullopt;
        // Ready: bytes may have come between the two looks, and they go first; the end of
        // the stream stays, and is reported once they are read.
        if (::ioctl(fd_, FIONREAD, &n) == 0 && n > 0) return static_cast<uint64_t>(n);
        return 0;
    }

    // The connections waiting in the listen queue (a TCP listener reports its accept backlog
    // in TCP_INFO), so that the owner can take a burst in one event. At least 1: the event
    // says one is there, and another kind of listener cannot tell how many.
    uint64_t pendingConnections() const {
        tcp_info info{};
        socklen_t len = sizeof info;
        if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 || info.tcpi_unacked == 0) return 1;
        return info.tcpi_unacked;
    }

    uint64_t writable() const {
        int queued = 0;
        int buffer = 0;
        socklen_t len = sizeof buffer;
        if (::ioctl(fd_, SIOCOUTQ, &queued) == 0 &&
            ::getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &buffer, &len) == 0 && buffer > queued)
            return static_cast<uint64_t>(buffer - queued);
        return 1;
    }

    const Type type_;
    const int fd_;
    bool listening_ = false;
    bool alwaysReady_ = false;         // set once at registration
    std::optional<Reactor::WatchId> watcherId_;  // set at registration; cleared under mutex_ by cancel
};

// A timer keeps at most one entry in the reactor, and the entry need not fall on the
// deadline: a socket sets its time-out again on every read and write, almost always to a
// later deadline, and going to the reactor for each of them (an entry made, one cancelled)
// would cost more than the reads themselves. So an entry that is due no later than the
// deadline is kept when the schedule moves later or stops; when it fires early it looks at
// the real deadline and sets itself for that. Only a deadline earlier than the entry makes a
// new one.
class TimerSource final : public SourceBase {
public:
    explicit TimerSource(std::shared_ptr<DispatchQueue> target) : SourceBase(std::move(target)) {}

    Type type() const override { return Type::Timer; }
    int fd() const override { return -1; }

    void setTimer(std::chrono::nanoseconds start, std::chrono::nanoseconds interval,
                  std::chrono::nanoseconds) override {
        // The leeway only allows lateness; firing at the deadline honours any leeway.
        std::lock_guard<std::mutex> lock(mutex_);
        if (isCancelled()) return;
        // Fires of the old schedule that are counted but not yet delivered are dropped.
        fires_ = 0;
        repeat_ = interval > std::chrono::nanoseconds::zero() && interval != kForever
                      ? std::optional<std::chrono::nanoseconds>(interval)
                      : std::nullopt;
        deadline_ = start == kForever ? kNever : Reactor::deadlineAfter(start);
        if (deadline_ == kNever) return;  // an entry left behind finds nothing due
        if (timerId_ && timerId_->deadline <= deadline_) return;
        cancelTimerLocked();
        scheduleLocked(deadline_);
    }

    ~TimerSource() override = default;

protected:
    void disarmLocked() override { cancelTimerLocked(); }

    std::optional<uint64_t> collectData() override {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t n = fires_;
        fires_ = 0;
        return n > 0 ? std::optional<uint64_t>(n) : std::nullopt;
    }

private:
    static constexpr Reactor::Clock::time_point kNever = Reactor::Clock::time_point::max();

    void scheduleLocked(Reactor::Clock::time_point at) {
        auto self = std::static_pointer_cast<TimerSource>(shared_from_this());
        const uint64_t entry = ++entries_;
        timerId_ = Reactor::shared().addTimer(at, [self, entry] { self->fire(entry); });
    }

    void cancelTimerLocked() {
        if (timerId_) Reactor::shared().cancelTimer(*timerId_);
        timerId_.reset();
    }

    // Reactor thread.
    void fire(uint64_t entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        // An entry cancelled while the reactor was already handing it over is not ours.
        if (entry != entries_ || isCancelled()) return;
        timerId_.reset();
        if (deadline_ == kNever) return;
        const auto now = Reactor::Clock::now();
        if (now < deadline_) {
            scheduleLocked(deadline_);
            return;
        }
        uint64_t count = 1;
        if (repeat_) {
            // Intervals missed while the reactor or the queue was late count as fires too.
            auto interval = std::chrono::duration_cast<Reactor::Clock::duration>(*repeat_);
            auto next = deadline_ + interval;
            if (next <= now) {
                auto missed = (now - next) / interval + 1;
                count += static_cast<uint64_t>(missed);
                next += missed * interval;
            }
            deadline_ = next;
            scheduleLocked(next);
        } else {
            deadline_ = kNever;
        }
        fires_ += count;
        eventLocked();
    }

    Reactor::Clock::time_point deadline_ = kNever;     // guarded by mutex_; the schedule's next fire
    uint64_t entries_ = 0;                             // guarded by mutex_; reactor entries made
    uint64_t fires_ = 0;                               // guarded by mutex_
    std::optional<std::chrono::nanoseconds> repeat_;  // guarded by mutex_
    std::optional<Reactor::TimerId> timerId_;          // guarded by mutex_; the entry, while in the reactor
};

std::shared_ptr<DispatchSource> makeFdSource(DispatchSource::Type type, int fd, std::shared_ptr<DispatchQueue> target) {
    if (!target) {
        errno = EINVAL;
        return nullptr;
    }
    auto source = std::make_shared<FdSource>(type, fd, std::move(target));
    if (!source->registerWithReactor()) {
        int saved = errno;
        source.reset();
        errno = saved;
        return nullptr;
    }
    return source;
}

}  // namespace

std::shared_ptr<DispatchSource> DispatchSource::makeRead(int fd, std::shared_ptr<DispatchQueue> target) {
    return makeFdSource(Type::Read, fd, std::move(target));
}

std::shared_ptr<DispatchSource> DispatchSource::makeWrite(int fd, std::shared_ptr<DispatchQueue> target) {
    return makeFdSource(Type::Write, fd, std::move(target));
}

std::shared_ptr<DispatchSource> DispatchSource::makeTimer(std::shared_ptr<DispatchQueue> target) {
    if (!target) {
        errno = EINVAL;
        return nullptr;
    }
    return std::make_shared<TimerSource>(std::move(target));
}

}  // namespace platform
