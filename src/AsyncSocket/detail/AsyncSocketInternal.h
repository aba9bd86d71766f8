// Internal to the socket's implementation files (AsyncSocket*.cpp), not part of its
// interface: the queue helpers that every part of the socket uses, small helpers for timers
// and socket addresses, and the shape of the test hooks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "AsyncSocket/AsyncSocket.h"
#include "Platform/Dispatch/DispatchSource.h"

namespace asyncsocket::detail {

inline std::chrono::nanoseconds secondsToNanos(double seconds) {
    const double nanos = seconds * 1e9;
    if (nanos >= static_cast<double>(std::numeric_limits<int64_t>::max())) return platform::DispatchSource::kForever;
    return std::chrono::nanoseconds(static_cast<int64_t>(nanos));
}

// A time-out the delegate extends: an extension above zero adds to the operation's time and
// restarts its timer for that long (true); none, zero or less ends the operation (false).
inline bool extendTimeout(double& timeout, const std::shared_ptr<platform::DispatchSource>& timer, double extension) {
    if (!(extension > 0.0)) return false;
    timeout += extension;
    if (timer) timer->setTimer(secondsToNanos(extension), platform::DispatchSource::kForever, std::chrono::nanoseconds(0));
    return true;
}

inline ByteBuffer addressBytes(const void* address, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(address);
    return ByteBuffer(bytes, bytes + length);
}

// An operation that a test may replace (the ...ForTesting hooks): the replacement while one
// is set, else the system's own. The replacement runs outside the lock, so that one that
// blocks holds up nothing but its own caller.
template <class Signature>
class TestHook;

template <class R, class... Args>
class TestHook<R(Args...)> {
public:
    void set(std::function<R(Args...)> replacement) {
        std::lock_guard<std::mutex> lock(mutex_);
        replacement_ = std::move(replacement);
    }
    template <class Default>
    R call(Default&& systemOwn, Args... args) {
        std::function<R(Args...)> replacement;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            replacement = replacement_;
        }
        return replacement ? replacement(args...) : systemOwn(args...);
    }

private:
    std::mutex mutex_;
    std::function<R(Args...)> replacement_;  // guarded by mutex_
};

}  // namespace asyncsocket::detail

template <class F>
auto AsyncSocket::onQueueSync(F&& fn) const {
    if (onSocketQueue()) return fn();
    return socketQueue_->syncResult(std::forward<F>(fn));
}

// The callable goes into the queue's task as it is, not wrapped in a function object of its
// own: one allocation per hop instead of two.
template <class F>
void AsyncSocket::onQueueAsync(F&& fn) {
    if (onSocketQueue()) {
        fn();
        return;
    }
    postAsync(std::forward<F>(fn));
}

template <class F>
void AsyncSocket::postAsync(F&& fn) {
    socketQueue_->async([self = shared_from_this(), fn = std::forward<F>(fn)]() mutable { fn(); });
}

template <class F>
void AsyncSocket::postDelegate(AsyncSocketDelegate::Call call, F&& fn) {
    if (!delegateQueue_) return;
    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    if (!delegate || !delegate->respondsTo(call)) return;
    std::shared_ptr<AsyncSocket> self = weak_from_this().lock();
    if (!self) return;  // under destruction
    delegateQueue_->async([delegate = std::move(delegate), self = std::move(self), fn = std::forward<F>(fn)] { fn(*delegate, self); });
}
