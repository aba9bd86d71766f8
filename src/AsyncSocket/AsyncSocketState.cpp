#include "AsyncSocket/AsyncSocket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "AsyncSocket/detail/AsyncSocketInternal.h"

using platform::TlsStatus;
using Call = AsyncSocketDelegate::Call;
using asyncsocket::detail::addressBytes;

// ---------------------------------------------------------------------------------------------
// Delegate and configuration

std::shared_ptr<AsyncSocketDelegate> AsyncSocket::delegate() const {
    return onQueueSync([this] { return delegate_.lock(); });
}

void AsyncSocket::setDelegate(std::weak_ptr<AsyncSocketDelegate> delegate) {
    onQueueAsync([this, delegate = std::move(delegate)] { delegate_ = delegate; });
}

void AsyncSocket::synchronouslySetDelegate(std::weak_ptr<AsyncSocketDelegate> delegate) {
    onQueueSync([this, &delegate] { delegate_ = std::move(delegate); });
}

AsyncSocket::DispatchQueuePtr AsyncSocket::delegateQueue() const {
    return onQueueSync([this] { return delegateQueue_; });
}

void AsyncSocket::setDelegateQueue(DispatchQueuePtr queue) {
    onQueueAsync([this, queue = std::move(queue)] { delegateQueue_ = queue; });
}

void AsyncSocket::synchronouslySetDelegateQueue(DispatchQueuePtr queue) {
    onQueueSync([this, &queue] { delegateQueue_ = std::move(queue); });
}

void AsyncSocket::getDelegate(std::shared_ptr<AsyncSocketDelegate>* delegatePtr, DispatchQueuePtr* delegateQueuePtr) const {
    onQueueSync([&] {
        if (delegatePtr) *delegatePtr = delegate_.lock();
        if (delegateQueuePtr) *delegateQueuePtr = delegateQueue_;
    });
}

void AsyncSocket::setDelegate(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr queue) {
    onQueueAsync([this, delegate = std::move(delegate), queue = std::move(queue)] {
        delegate_ = delegate;
        delegateQueue_ = queue;
    });
}

void AsyncSocket::synchronouslySetDelegate(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr queue) {
    onQueueSync([&] {
        delegate_ = std::move(delegate);
        delegateQueue_ = std::move(queue);
    });
}

bool AsyncSocket::isIPv4Enabled() const {
    return onQueueSync([this] { return (config_ & ConfigNoIPv4) == 0; });
}

void AsyncSocket::setIPv4Enabled(bool enabled) {
    onQueueAsync([this, enabled] {
        if (enabled) config_ &= static_cast<uint16_t>(~ConfigNoIPv4);
        else config_ |= ConfigNoIPv4;
    });
}

bool AsyncSocket::isIPv6Enabled() const {
    return onQueueSync([this] { return (config_ & ConfigNoIPv6) == 0; });
}

void AsyncSocket::setIPv6Enabled(bool enabled) {
    onQueueAsync([this, enabled] {
        if (enabled) config_ &= static_cast<uint16_t>(~ConfigNoIPv6);
        else config_ |= ConfigNoIPv6;
    });
}

bool AsyncSocket::isIPv4PreferredOverIPv6() const {
    return onQueueSync([this] { return (config_ & ConfigPreferIPv6) == 0; });
}

void AsyncSocket::setPreferIPv4OverIPv6(bool preferred) {
    onQueueAsync([this, preferred] {
        if (preferred) config_ &= static_cast<uint16_t>(~ConfigPreferIPv6);
        else config_ |= ConfigPreferIPv6;
    });
}

std::shared_ptr<void> AsyncSocket::userData() const {
    return onQueueSync([this] { return userData_; });
}

void AsyncSocket::setUserData(std::shared_ptr<void> data) {
    onQueueAsync([this, data = std::move(data)] {
        if (userData_ != data) userData_ = data;
    });
}

// ---------------------------------------------------------------------------------------------
// State queries

bool AsyncSocket::isDisconnected() const {
    return onQueueSync([this] { return (flags_ & FlagStarted) == 0; });
}

bool AsyncSocket::isConnected() const {
    return onQueueSync([this] { return (flags_ & FlagConnected) != 0; });
}

bool AsyncSocket::isSecure() const {
    return onQueueSync([this] { return (flags_ & FlagSecure) != 0; });
}

bool AsyncSocket::isIPv4() const {
    return onQueueSync([this] { return socket4FD_ != -1; });
}

bool AsyncSocket::isIPv6() const {
    return onQueueSync([this] { return socket6FD_ != -1; });
}

std::optional<std::string> AsyncSocket::connectedHost() const {
    return onQueueSync([this]() -> std::optional<std::string> {
        if (socket4FD_ != -1) return connectedHostFromSocket(socket4FD_);
        if (socket6FD_ != -1) return connectedHostFromSocket(socket6FD_);
        return std::nullopt;
    });
}

uint16_t AsyncSocket::connectedPort() const {
    return onQueueSync([this]() -> uint16_t {
        if (socket4FD_ != -1) return connectedPortFromSocket(socket4FD_);
        if (socket6FD_ != -1) return connectedPortFromSocket(socket6FD_);
        return 0;
    });
}

std::optional<std::string> AsyncSocket::localHost() const {
    return onQueueSync([this]() -> std::optional<std::string> {
        if (socket4FD_ != -1) return localHostFromSocket(socket4FD_);
        if (socket6FD_ != -1) return localHostFromSocket(socket6FD_);
        return std::nullopt;
    });
}

uint16_t AsyncSocket::localPort() const {
    return onQueueSync([this]() -> uint16_t {
        if (socket4FD_ != -1) return localPortFromSocket(socket4FD_);
        if (socket6FD_ != -1) return localPortFromSocket(socket6FD_);
        return 0;
    });
}

namespace {

std::optional<ByteBuffer> nameOf(int fd, bool peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int result = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                            : getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (result != 0) return std::nullopt;
    return addressBytes(&address, std::min<size_t>(length, sizeof address));
}

}  // namespace

std::optional<ByteBuffer> AsyncSocket::connectedAddress() const {
    return onQueueSync([this] {
        std::optional<ByteBuffer> result;
        if (socket4FD_ != -1) result = nameOf(socket4FD_, true);
        if (socket6FD_ != -1) {
            if (auto address6 = nameOf(socket6FD_, true)) result = std::move(address6);
        }
        return result;
    });
}

std::optional<ByteBuffer> AsyncSocket::localAddress() const {
    return onQueueSync([this] {
        std::optional<ByteBuffer> result;
        if (socket4FD_ != -1) result = nameOf(socket4FD_, false);
        if (socket6FD_ != -1) {
            if (auto address6 = nameOf(socket6FD_, false)) result = std::move(address6);
        }
        return result;
    });
}

std::optional<std::string> AsyncSocket::connectedHostFromSocket(int fd) const {
    auto address = nameOf(fd, true);
    return address ? hostFromAddress(*address) : std::nullopt;
}

uint16_t AsyncSocket::connectedPortFromSocket(int fd) const {
    auto address = nameOf(fd, true);
    return address ? portFromAddress(*address) : 0;
}

std::optional<std::string> AsyncSocket::localHostFromSocket(int fd) const {
    auto address = nameOf(fd, false);
    return address ? hostFromAddress(*address) : std::nullopt;
}

uint16_t AsyncSocket::localPortFromSocket(int fd) const {
    auto address = nameOf(fd, false);
    return address ? portFromAddress(*address) : 0;
}

// ---------------------------------------------------------------------------------------------
// Errors

AsyncSocket::Error AsyncSocket::badConfigError(const std::string& message) {
    return Error{AsyncSocketErrorDomain, AsyncSocketBadConfigError, message, ""};
}

AsyncSocket::Error AsyncSocket::badParamError(const std::string& message) {
    return Error{AsyncSocketErrorDomain, AsyncSocketBadParamError, message, ""};
}

AsyncSocket::Error AsyncSocket::gaiError(int code) {
    return Error{AsyncSocketNetDBErrorDomain, code, gai_strerror(code), ""};
}

AsyncSocket::Error AsyncSocket::errnoErrorWithReason(const std::string& reason) {
    return platform::posixError(errno, reason);
}

AsyncSocket::Error AsyncSocket::errnoError() {
    return platform::posixError(errno, "");
}

AsyncSocket::Error AsyncSocket::sslError(TlsStatus status) {
    // The TLS form carries no description: only the status code tells what happened.
    return Error{AsyncSocketSSLErrorDomain, status, "", ""};
}

AsyncSocket::Error AsyncSocket::connectTimeoutError() {
    return Error{AsyncSocketErrorDomain, AsyncSocketConnectTimeoutError, "Attempt to connect to host timed out", ""};
}

AsyncSocket::Error AsyncSocket::readMaxedOutError() {
    return Error{AsyncSocketErrorDomain, AsyncSocketReadMaxedOutError, "Read operation reached set maximum length", ""};
}

AsyncSocket::Error AsyncSocket::readTimeoutError() {
    return Error{AsyncSocketErrorDomain, AsyncSocketReadTimeoutError, "Read operation timed out", ""};
}

AsyncSocket::Error AsyncSocket::writeTimeoutError() {
    return Error{AsyncSocketErrorDomain, AsyncSocketWriteTimeoutError, "Write operation timed out", ""};
}

AsyncSocket::Error AsyncSocket::connectionClosedError() {
    return Error{AsyncSocketErrorDomain, AsyncSocketClosedError, "Socket closed by remote peer", ""};
}

AsyncSocket::Error AsyncSocket::otherError(const std::string& message) {
    return Error{AsyncSocketErrorDomain, AsyncSocketOtherError, message, ""};
}

// ---------------------------------------------------------------------------------------------
// Closing

void AsyncSocket::disconnect() {
    onQueueSync([this] {
        if (flags_ & FlagStarted) closeWithError(std::nullopt);
    });
}

void AsyncSocket::disconnectAfterReading() {
    postAsync([this] {
        if (flags_ & FlagStarted) {
            flags_ |= FlagNoNewRequests | FlagCloseAfterReads;
            maybeClose();
        }
    });
}

void AsyncSocket::disconnectAfterWriting() {
    postAsync([this] {
        if (flags_ & FlagStarted) {
            flags_ |= FlagNoNewRequests | FlagCloseAfterWrites;
            maybeClose();
        }
    });
}

void AsyncSocket::disconnectAfterReadingAndWriting() {
    postAsync([this] {
        if (flags_ & FlagStarted) {
            flags_ |= FlagNoNewRequests | FlagCloseAfterReads | FlagCloseAfterWrites;
            maybeClose();
        }
    });
}

void AsyncSocket::maybeClose() {
    bool shouldClose = false;
    if (flags_ & FlagCloseAfterReads) {
        if (readQueue_.empty() && !currentRead_) {
            if (flags_ & FlagCloseAfterWrites) {
                shouldClose = writeQueue_.empty() && !currentWrite_;
            } else {
                shouldClose = true;
            }
        }
    } else if (flags_ & FlagCloseAfterWrites) {
        shouldClose = writeQueue_.empty() && !currentWrite_;
    }
    if (shouldClose) closeWithError(std::nullopt);
}

void AsyncSocket::closeWithError(std::optional<Error> error) {
    endConnectTimeout();
    if (currentRead_) endCurrentRead();
    if (currentWrite_) endCurrentWrite();
    cancelTimer(readTimer_);
    cancelTimer(writeTimer_);
    readQueue_.clear();
    writeQueue_.clear();

    preBuffer_.reset();
    if (sslPreBuffer_) sslPreBuffer_->reset();
    sslErrCode_ = 0;
    sslWriteCachedLength_ = 0;

    if (sslContext_) {
        sslContext_->close();
        sslContext_.reset();
    }

    // A connect under way ends with the close of its descriptor below.
    endConnectSource();
    if (accept4Source_ || accept6Source_ || readSource_ || writeSource_) {
        // A descriptor that no source owns (its source could not be made) is closed here.
        const int streamFD = (readSource_ || writeSource_) ? currentFD() : -1;
        for (const auto& [fd, acceptSource] : {std::pair{socket4FD_, accept4Source_.get()}, std::pair{socket6FD_, accept6Source_.get()}}) {
            if (fd == -1 || fd == streamFD) continue;
            if (!acceptSource) {
                ::close(fd);
            } else {
                // The source's cancel handler closes the descriptor later, on the socket queue;
                // shutting it down stops the listening now, so that a client connecting after
                // the disconnect returned is refused instead of queued for a close.
                ::shutdown(fd, SHUT_RD);
            }
        }
        // A suspended accept source (paused) runs its cancel handler only once resumed.
        for (auto* acceptSource : {&accept4Source_, &accept6Source_}) {
            if (!*acceptSource) continue;
            (*acceptSource)->cancel();
            if (acceptSourcesSuspended_) (*acceptSource)->resume();
            acceptSource->reset();
        }
        acceptSourcesSuspended_ = false;
        // A suspended source runs its cancel handler (which closes the descriptor) only once
        // resumed.
        if (readSource_) {
            readSource_->cancel();
            resumeReadSource();
            readSource_.reset();
        }
        if (writeSource_) {
            writeSource_->cancel();
            resumeWriteSource();
            writeSource_.reset();
        }
        socket4FD_ = -1;
        socket6FD_ = -1;
    } else {
        // A connect under way ends here too: closing its descriptor drops the attempt at once
        // instead of after the system's own retries.
        for (int* fd : {&socket4FD_, &socket6FD_}) {
            if (*fd == -1) continue;
            ::close(*fd);
            *fd = -1;
        }
    }

    // A pause ends with the listening; its timer must not resume sources of a later start.
    cancelTimer(acceptPauseTimer_);
    acceptPausedForResources_ = false;
    acceptShortOfResources_ = false;
    // An accepted socket whose descriptor was closed above, not by its sources' cancel handlers.
    acceptedSlot_.reset();

    const bool wasStarted = (flags_ & FlagStarted) != 0;
    socketFDBytesAvailable_ = 0;
    flags_ = 0;

    if (wasStarted) {
        postDelegate(Call::DidDisconnect, [error = std::move(error)](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
            d.socketDidDisconnect(s, error);
        });
    }
}
