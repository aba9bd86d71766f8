#include "AsyncSocket/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

using platform::DispatchQueue;
using platform::DispatchSource;
using platform::TlsContext;
using platform::TlsStatus;
namespace tls = platform::tls;
using Call = AsyncSocketDelegate::Call;

namespace {

std::chrono::nanoseconds secondsToNanos(double seconds) {
    const double nanos = seconds * 1e9;
    if (nanos >= static_cast<double>(std::numeric_limits<int64_t>::max())) return DispatchSource::kForever;
    return std::chrono::nanoseconds(static_cast<int64_t>(nanos));
}

// Cancels and drops the timer, if there is one.
void cancelTimer(std::shared_ptr<DispatchSource>& timer) {
    if (timer) {
        timer->cancel();
        timer.reset();
    }
}

// A time-out the delegate extends: an extension above zero adds to the operation's time and
// restarts its timer for that long (true); none, zero or less ends the operation (false).
bool extendTimeout(double& timeout, const std::shared_ptr<DispatchSource>& timer, double extension) {
    if (!(extension > 0.0)) return false;
    timeout += extension;
    if (timer) timer->setTimer(secondsToNanos(extension), DispatchSource::kForever, std::chrono::nanoseconds(0));
    return true;
}

TlsStatus SSLReadFunction(void* connection, void* data, size_t* length) {
    return static_cast<AsyncSocket*>(connection)->sslReadWithBuffer(data, length);
}

TlsStatus SSLWriteFunction(void* connection, const void* data, size_t* length) {
    return static_cast<AsyncSocket*>(connection)->sslWriteWithBuffer(data, length);
}

std::mutex listeningSourceMakerMutex;
AsyncSocket::ListeningSourceMaker listeningSourceMaker;  // guarded by listeningSourceMakerMutex

std::shared_ptr<DispatchSource> makeListeningSource(int fd, const std::shared_ptr<DispatchQueue>& queue) {
    {
        std::lock_guard<std::mutex> lock(listeningSourceMakerMutex);
        if (listeningSourceMaker) return listeningSourceMaker(fd, queue);
    }
    return DispatchSource::makeRead(fd, queue);
}

ByteBuffer addressBytes(const void* address, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(address);
    return ByteBuffer(bytes, bytes + length);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation, destruction and the queue discipline

std::shared_ptr<AsyncSocket> AsyncSocket::create(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr delegateQueue,
                                                 DispatchQueuePtr socketQueue) {
    return std::shared_ptr<AsyncSocket>(new AsyncSocket(std::move(delegate), std::move(delegateQueue), std::move(socketQueue)));
}

AsyncSocket::AsyncSocket(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr delegateQueue, DispatchQueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue) : DispatchQueue::createSerial("AsyncSocket")),
      preBuffer_(4096),
      isOnSocketQueueOrTargetQueueKey_(&isOnSocketQueueOrTargetQueueKey_) {
    socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_, this);
}

AsyncSocket::~AsyncSocket() {
    // Nobody else can reach the socket any more, so the close posts no disconnect call (it
    // could not hand the delegate a live socket).
    auto closeAll = [this] { closeWithError(std::nullopt); };
    if (onSocketQueue()) {
        closeAll();
    } else {
        socketQueue_->sync(closeAll);
    }
    // A socket queue handed in by the owner outlives the socket: leave no key that could
    // match a later socket at the same address.
    socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
    delegate_.reset();
    delegateQueue_.reset();
}

bool AsyncSocket::onSocketQueue() const {
    return DispatchQueue::getSpecific(isOnSocketQueueOrTargetQueueKey_) != nullptr;
}

template <class F>
auto AsyncSocket::onQueueSync(F&& fn) const {
    if (onSocketQueue()) return fn();
    return socketQueue_->syncResult(std::forward<F>(fn));
}

void AsyncSocket::onQueueAsync(std::function<void()> fn) {
    if (onSocketQueue()) {
        fn();
        return;
    }
    socketQueue_->async([self = shared_from_this(), fn = std::move(fn)] { fn(); });
}

void AsyncSocket::postAsync(std::function<void()> fn) {
    socketQueue_->async([self = shared_from_this(), fn = std::move(fn)] { fn(); });
}

template <class F>
void AsyncSocket::postDelegate(Call call, F&& fn) {
    if (!delegateQueue_) return;
    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    if (!delegate || !delegate->respondsTo(call)) return;
    std::shared_ptr<AsyncSocket> self = weak_from_this().lock();
    if (!self) return;  // under destruction
    delegateQueue_->async([delegate = std::move(delegate), self = std::move(self), fn = std::forward<F>(fn)] { fn(*delegate, self); });
}

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

void AsyncSocket::endConnectTimeout() {
    if (connectTimer_) {
        connectTimer_->cancel();
        connectTimer_.reset();
    }
    ++connectIndex_;
    connectInterface4_.reset();
    connectInterface6_.reset();
}

void AsyncSocket::closeWithError(std::optional<Error> error) {
    endConnectTimeout();
    if (currentRead_) endCurrentRead();
    if (currentWrite_) endCurrentWrite();
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

    if (accept4Source_ || accept6Source_ || readSource_ || writeSource_) {
        // A descriptor that no source owns (its source could not be made) is closed here.
        const int streamFD = (readSource_ || writeSource_) ? currentFD() : -1;
        for (const auto& [fd, acceptSource] : {std::pair{socket4FD_, accept4Source_.get()}, std::pair{socket6FD_, accept6Source_.get()}}) {
            if (fd != -1 && !acceptSource && fd != streamFD) ::close(fd);
        }
        if (accept4Source_) {
            accept4Source_->cancel();
            accept4Source_.reset();
        }
        if (accept6Source_) {
            accept6Source_->cancel();
            accept6Source_.reset();
        }
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
        if (socket4FD_ != -1) {
            ::close(socket4FD_);
            socket4FD_ = -1;
        }
        if (socket6FD_ != -1) {
            ::close(socket6FD_);
            socket6FD_ = -1;
        }
    }

    const bool wasStarted = (flags_ & FlagStarted) != 0;
    socketFDBytesAvailable_ = 0;
    flags_ = 0;

    if (wasStarted) {
        postDelegate(Call::DidDisconnect, [error = std::move(error)](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
            d.socketDidDisconnect(s, error);
        });
    }
}

// ---------------------------------------------------------------------------------------------
// Listening and accepting

void AsyncSocket::setListeningSourceMakerForTesting(ListeningSourceMaker maker) {
    std::lock_guard<std::mutex> lock(listeningSourceMakerMutex);
    listeningSourceMaker = std::move(maker);
}

bool AsyncSocket::acceptOnPort(uint16_t port, Error* errPtr) {
    return acceptOnInterface(std::nullopt, port, errPtr);
}

bool AsyncSocket::acceptOnInterface(const std::optional<std::string>& interface, uint16_t port, Error* errPtr) {
    const std::optional<std::string> description = interface;
    std::optional<Error> error;
    const bool result = onQueueSync([&]() -> bool {
        if (delegate_.expired()) {
            error = badConfigError("Attempting to accept without a delegate. Set a delegate first.");
            return false;
        }
        if (!delegateQueue_) {
            error = badConfigError("Attempting to accept without a delegate queue. Set a delegate queue first.");
            return false;
        }
        const bool isIPv4Disabled = (config_ & ConfigNoIPv4) != 0;
        const bool isIPv6Disabled = (config_ & ConfigNoIPv6) != 0;
        if (isIPv4Disabled && isIPv6Disabled) {
            error = badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
            return false;
        }
        if (flags_ & FlagStarted) {
            error = badConfigError("Attempting to accept while connected or accepting connections. Disconnect first.");
            return false;
        }
        readQueue_.clear();
        writeQueue_.clear();

        std::optional<ByteBuffer> interface4;
        std::optional<ByteBuffer> interface6;
        getInterfaceAddress(&interface4, &interface6, description, port);
        if (!interface4 && !interface6) {
            error = badParamError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return false;
        }
        if (isIPv4Disabled && !interface6) {
            error = badParamError("IPv4 has been disabled and specified interface doesn't support IPv6.");
            return false;
        }
        if (isIPv6Disabled && !interface4) {
            error = badParamError("IPv6 has been disabled and specified interface doesn't support IPv4.");
            return false;
        }
        const bool enableIPv4 = !isIPv4Disabled && interface4;
        const bool enableIPv6 = !isIPv6Disabled && interface6;

        Error socketError;
        if (enableIPv4) {
            socket4FD_ = createListeningSocket(AF_INET, *interface4, &socketError);
            if (socket4FD_ == -1) {
                error = socketError;
                return false;
            }
        }
        if (enableIPv6) {
            if (enableIPv4 && port == 0) {
                // Both families listen on the port the system chose for IPv4.
                auto* address6 = reinterpret_cast<sockaddr_in6*>(interface6->data());
                address6->sin6_port = htons(localPort4());
            }
            socket6FD_ = createListeningSocket(AF_INET6, *interface6, &socketError);
            if (socket6FD_ == -1) {
                if (socket4FD_ != -1) {
                    ::close(socket4FD_);
                    socket4FD_ = -1;
                }
                error = socketError;
                return false;
            }
        }

        std::weak_ptr<AsyncSocket> weakSelf = weak_from_this();
        auto makeAcceptSource = [&](int fd) {
            auto source = makeListeningSource(fd, socketQueue_);
            if (!source) return source;
            DispatchSource* raw = source.get();
            source->setEventHandler([weakSelf, raw, fd] {
                auto self = weakSelf.lock();
                if (!self || (self->accept4Source_.get() != raw && self->accept6Source_.get() != raw)) return;
                const uint64_t pending = std::max<uint64_t>(raw->data(), 1);
                uint64_t i = 0;
                while (self->doAccept(fd) && ++i < pending) {
                }
            });
            source->setCancelHandler([fd] { ::close(fd); });
            source->resume();
            return source;
        };
        if (enableIPv4) {
            accept4Source_ = makeAcceptSource(socket4FD_);
            if (!accept4Source_) {
                error = errnoErrorWithReason("Error in dispatch_source_create()");
                closeWithError(std::nullopt);
                return false;
            }
        }
        if (enableIPv6) {
            accept6Source_ = makeAcceptSource(socket6FD_);
            if (!accept6Source_) {
                error = errnoErrorWithReason("Error in dispatch_source_create()");
                closeWithError(std::nullopt);
                return false;
            }
        }
        flags_ |= FlagStarted;
        return true;
    });
    if (!result && errPtr && error) *errPtr = *error;
    return result;
}

int AsyncSocket::createListeningSocket(int domain, const ByteBuffer& address, Error* errPtr) {
    // Close-on-exec: a child process must not inherit the port (or keep it open after us).
    const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        *errPtr = errnoErrorWithReason("Error in socket() function");
        return -1;
    }
    auto fail = [&](const char* reason) {
        *errPtr = errnoErrorWithReason(reason);
        ::close(fd);
        return -1;
    };
    const int fdFlags = ::fcntl(fd, F_GETFL);
    if (::fcntl(fd, F_SETFL, (fdFlags == -1 ? 0 : fdFlags) | O_NONBLOCK) == -1) {
        return fail("Error enabling non-blocking IO on socket (fcntl)");
    }
    int reuseOn = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn) == -1) {
        return fail("Error enabling address reuse (setsockopt)");
    }
    if (domain == AF_INET6) {
        // The IPv4 family has a descriptor of its own; this one must not claim its port too.
        int v6only = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) == -1) {
        return fail("Error in bind() function");
    }
    if (::listen(fd, 1024) == -1) {
        return fail("Error in listen() function");
    }
    return fd;
}

void AsyncSocket::getInterfaceAddress(std::optional<ByteBuffer>* address4Ptr, std::optional<ByteBuffer>* address6Ptr,
                                      const std::optional<std::string>& description, uint16_t port) const {
    std::optional<ByteBuffer> address4;
    std::optional<ByteBuffer> address6;

    std::vector<std::string> components;
    if (description) {
        size_t start = 0;
        while (true) {
            const size_t colon = description->find(':', start);
            components.push_back(description->substr(start, colon == std::string::npos ? std::string::npos : colon - start));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    std::string interface;
    if (!components.empty() && !components[0].empty()) interface = components[0];
    if (port == 0 && components.size() > 1) {
        char* end = nullptr;
        const long portL = std::strtol(components[1].c_str(), &end, 10);
        if (portL > 0 && portL <= 65535) port = static_cast<uint16_t>(portL);
    }

    auto make4 = [port](in_addr_t address) {
        sockaddr_in sockaddr4{};
        sockaddr4.sin_family = AF_INET;
        sockaddr4.sin_port = htons(port);
        sockaddr4.sin_addr.s_addr = address;
        return addressBytes(&sockaddr4, sizeof sockaddr4);
    };
    auto make6 = [port](const in6_addr& address) {
        sockaddr_in6 sockaddr6{};
        sockaddr6.sin6_family = AF_INET6;
        sockaddr6.sin6_port = htons(port);
        sockaddr6.sin6_addr = address;
        return addressBytes(&sockaddr6, sizeof sockaddr6);
    };

    if (interface.empty()) {
        address4 = make4(htonl(INADDR_ANY));
        address6 = make6(in6addr_any);
    } else if (interface == "localhost" || interface == "loopback") {
        address4 = make4(htonl(INADDR_LOOPBACK));
        address6 = make6(in6addr_loopback);
    } else {
        ifaddrs* addrs = nullptr;
        if (getifaddrs(&addrs) == 0) {
            for (ifaddrs* cursor = addrs; cursor; cursor = cursor->ifa_next) {
                if (!cursor->ifa_addr) continue;
                const int family = cursor->ifa_addr->sa_family;
                if (!address4 && family == AF_INET) {
                    sockaddr_in nativeAddr4;
                    std::memcpy(&nativeAddr4, cursor->ifa_addr, sizeof nativeAddr4);
                    char ip[INET_ADDRSTRLEN];
                    const bool textOk = inet_ntop(AF_INET, &nativeAddr4.sin_addr, ip, sizeof ip) != nullptr;
                    if (interface == cursor->ifa_name || (textOk && interface == ip)) {
                        nativeAddr4.sin_port = htons(port);
                        address4 = addressBytes(&nativeAddr4, sizeof nativeAddr4);
                    }
                } else if (!address6 && family == AF_INET6) {
                    sockaddr_in6 nativeAddr6;
                    std::memcpy(&nativeAddr6, cursor->ifa_addr, sizeof nativeAddr6);
                    char ip[INET6_ADDRSTRLEN];
                    const bool textOk = inet_ntop(AF_INET6, &nativeAddr6.sin6_addr, ip, sizeof ip) != nullptr;
                    if (interface == cursor->ifa_name || (textOk && interface == ip)) {
                        nativeAddr6.sin6_port = htons(port);
                        address6 = addressBytes(&nativeAddr6, sizeof nativeAddr6);
                    }
                }
            }
            freeifaddrs(addrs);
        }
    }
    if (address4Ptr) *address4Ptr = std::move(address4);
    if (address6Ptr) *address6Ptr = std::move(address6);
}

bool AsyncSocket::doAccept(int parentFD) {
    const bool isIPv4 = parentFD == socket4FD_;
    sockaddr_storage address{};
    socklen_t addressLength = isIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    // Close-on-exec, or a child process started meanwhile would hold the connection open:
    // the peer would get no end of stream when we close it.
    const int childFD = ::accept4(parentFD, reinterpret_cast<sockaddr*>(&address), &addressLength, SOCK_CLOEXEC);
    if (childFD == -1) return false;
    ByteBuffer peerAddress = addressBytes(&address, std::min<size_t>(addressLength, sizeof address));

    const int fdFlags = ::fcntl(childFD, F_GETFL);
    if (::fcntl(childFD, F_SETFL, (fdFlags == -1 ? 0 : fdFlags) | O_NONBLOCK) == -1) {
        ::close(childFD);
        return false;
    }
    // This platform has no SO_NOSIGPIPE: every send on the descriptor passes MSG_NOSIGNAL.

    if (!delegateQueue_) {
        ::close(childFD);
        return true;
    }
    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    DispatchQueuePtr delegateQueue = delegateQueue_;
    delegateQueue->async([self = shared_from_this(), delegate, delegateQueue, childFD, isIPv4,
                          peerAddress = std::move(peerAddress)] {
        DispatchQueuePtr childSocketQueue;
        if (delegate && delegate->respondsTo(Call::NewSocketQueueForConnection)) {
            childSocketQueue = delegate->newSocketQueueForConnectionFromAddress(peerAddress, self);
        }
        std::shared_ptr<AsyncSocket> acceptedSocket = AsyncSocket::create(delegate, delegateQueue, childSocketQueue);
        // Nobody else knows the new socket yet; its queue sees these before any task of its own.
        if (isIPv4) {
            acceptedSocket->socket4FD_ = childFD;
        } else {
            acceptedSocket->socket6FD_ = childFD;
        }
        acceptedSocket->flags_ = FlagStarted | FlagConnected;
        acceptedSocket->socketQueue_->async([acceptedSocket, childFD] {
            acceptedSocket->setupReadAndWriteSourcesForNewlyConnectedSocket(childFD);
        });
        if (delegate && delegate->respondsTo(Call::DidAcceptNewSocket)) {
            delegate->didAcceptNewSocket(self, acceptedSocket);
        }
    });
    return true;
}

void AsyncSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int fd) {
    if (!(flags_ & FlagStarted) || currentFD() != fd) return;  // closed before the set-up ran
    readSource_ = DispatchSource::makeRead(fd, socketQueue_);
    writeSource_ = DispatchSource::makeWrite(fd, socketQueue_);
    if (!readSource_ || !writeSource_) {
        const Error error = errnoErrorWithReason("Error creating dispatch sources");
        // Sources without handlers: the descriptor is closed here, not by them.
        for (auto* source : {&readSource_, &writeSource_}) {
            if (*source) {
                (*source)->cancel();
                (*source)->resume();
                source->reset();
            }
        }
        closeWithError(error);
        return;
    }
    std::weak_ptr<AsyncSocket> weakSelf = weak_from_this();
    DispatchSource* readRaw = readSource_.get();
    DispatchSource* writeRaw = writeSource_.get();
    readSource_->setEventHandler([weakSelf, readRaw] {
        auto self = weakSelf.lock();
        if (!self || self->readSource_.get() != readRaw) return;
        self->socketFDBytesAvailable_ = readRaw->data();
        if (self->socketFDBytesAvailable_ > 0) {
            self->doReadData();
        } else {
            self->doReadEOF();
        }
    });
    writeSource_->setEventHandler([weakSelf, writeRaw] {
        auto self = weakSelf.lock();
        if (!self || self->writeSource_.get() != writeRaw) return;
        self->flags_ |= FlagCanWrite;
        self->doWriteData();
    });
    // The descriptor is closed once, by whichever source is cancelled last.
    auto socketFDRefCount = std::make_shared<std::atomic<int>>(2);
    auto cancelHandler = [socketFDRefCount, fd] {
        if (--*socketFDRefCount == 0) ::close(fd);
    };
    readSource_->setCancelHandler(cancelHandler);
    writeSource_->setCancelHandler(cancelHandler);

    socketFDBytesAvailable_ = 0;
    flags_ &= ~FlagReadSourceSuspended;
    readSource_->resume();
    // A new connection is taken to be writable; the write source runs only once a write
    // would block.
    flags_ |= FlagCanWrite | FlagWriteSourceSuspended;
}

void AsyncSocket::suspendReadSource() {
    if (!(flags_ & FlagReadSourceSuspended) && readSource_) {
        readSource_->suspend();
        flags_ |= FlagReadSourceSuspended;
    }
}

void AsyncSocket::resumeReadSource() {
    if ((flags_ & FlagReadSourceSuspended) && readSource_) {
        readSource_->resume();
        flags_ &= ~FlagReadSourceSuspended;
    }
}

void AsyncSocket::suspendWriteSource() {
    if (!(flags_ & FlagWriteSourceSuspended) && writeSource_) {
        writeSource_->suspend();
        flags_ |= FlagWriteSourceSuspended;
    }
}

void AsyncSocket::resumeWriteSource() {
    if ((flags_ & FlagWriteSourceSuspended) && writeSource_) {
        writeSource_->resume();
        flags_ &= ~FlagWriteSourceSuspended;
    }
}

// ---------------------------------------------------------------------------------------------
// Reading

void AsyncSocket::readData(double timeout, long tag) {
    readData(timeout, nullptr, 0, 0, tag);
}

void AsyncSocket::readData(double timeout, ByteBufferPtr buffer, uint64_t offset, long tag) {
    readData(timeout, std::move(buffer), offset, 0, tag);
}

void AsyncSocket::readData(double timeout, ByteBufferPtr buffer, uint64_t offset, uint64_t maxLength, long tag) {
    if (offset > (buffer ? buffer->size() : 0)) return;
    enqueueRead(std::make_shared<AsyncReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, std::nullopt, tag));
}

void AsyncSocket::readDataToLength(uint64_t length, double timeout, long tag) {
    readDataToLength(length, timeout, nullptr, 0, tag);
}

void AsyncSocket::readDataToLength(uint64_t length, double timeout, ByteBufferPtr buffer, uint64_t offset, long tag) {
    if (length == 0) return;
    if (offset > (buffer ? buffer->size() : 0)) return;
    enqueueRead(std::make_shared<AsyncReadPacket>(std::move(buffer), offset, 0, timeout, length, std::nullopt, tag));
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, long tag) {
    readDataToData(data, timeout, nullptr, 0, 0, tag);
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, ByteBufferPtr buffer, uint64_t offset, long tag) {
    readDataToData(data, timeout, std::move(buffer), offset, 0, tag);
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, uint64_t maxLength, long tag) {
    readDataToData(data, timeout, nullptr, 0, maxLength, tag);
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, ByteBufferPtr buffer, uint64_t offset,
                                 uint64_t maxLength, long tag) {
    if (data.empty()) return;
    if (offset > (buffer ? buffer->size() : 0)) return;
    if (maxLength > 0 && maxLength < data.size()) return;
    enqueueRead(std::make_shared<AsyncReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, data, tag));
}

void AsyncSocket::enqueueRead(std::shared_ptr<AsyncReadPacket> packet) {
    postAsync([this, packet = std::move(packet)] {
        if ((flags_ & FlagStarted) && !(flags_ & FlagNoNewRequests)) {
            readQueue_.push_back(QueuedRead{packet, nullptr});
            maybeDequeueRead();
        }
    });
}

float AsyncSocket::progressOfRead(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const {
    return onQueueSync([&]() -> float {
        if (!currentRead_.packet) {
            if (tagPtr) *tagPtr = 0;
            if (donePtr) *donePtr = 0;
            if (totalPtr) *totalPtr = 0;
            return std::numeric_limits<float>::quiet_NaN();
        }
        const AsyncReadPacket& packet = *currentRead_.packet;
        if (tagPtr) *tagPtr = packet.tag;
        if (donePtr) *donePtr = packet.bytesDone;
        if (totalPtr) *totalPtr = packet.readLength;
        return packet.readLength > 0 ? static_cast<float>(packet.bytesDone) / static_cast<float>(packet.readLength) : 1.0f;
    });
}

void AsyncSocket::maybeDequeueRead() {
    if (currentRead_ || !(flags_ & FlagConnected)) return;
    if (!readQueue_.empty()) {
        currentRead_ = std::move(readQueue_.front());
        readQueue_.pop_front();
        if (currentRead_.tls) {
            flags_ |= FlagTLSReadReady;
            maybeStartTLS();
        } else {
            setupReadTimerWithTimeout(currentRead_.packet->timeout);
            doReadData();
        }
    } else if (flags_ & FlagCloseAfterReads) {
        if ((flags_ & FlagCloseAfterWrites) && (!writeQueue_.empty() || currentWrite_)) return;
        closeWithError(std::nullopt);
    } else if (flags_ & FlagSecure) {
        flushSSLBuffers();
        if (preBuffer_.availableBytes() == 0) resumeReadSource();
    }
}

void AsyncSocket::doReadData() {
    if (!currentRead_ || (flags_ & FlagReadsPaused)) {
        if (flags_ & FlagSecure) flushSSLBuffers();
        if (socketFDBytesAvailable_ > 0) suspendReadSource();
        return;
    }

    uint64_t estimatedBytesAvailable = socketFDBytesAvailable_;
    if ((flags_ & FlagSecure) && sslContext_) {
        if (sslPreBuffer_) estimatedBytesAvailable += sslPreBuffer_->availableBytes();
        size_t buffered = 0;
        sslContext_->getBufferedReadSize(&buffered);
        estimatedBytesAvailable += buffered;
    }
    const bool hasBytesAvailable = estimatedBytesAvailable > 0;

    if (!hasBytesAvailable && preBuffer_.availableBytes() == 0) {
        resumeReadSource();
        return;
    }

    if (flags_ & FlagTLSReadReady) {
        if (flags_ & FlagTLSWriteReady) {
            ssl_continueSSLHandshake();
        } else {
            suspendReadSource();
        }
        return;
    }
    if (!currentRead_.packet) return;

    // Hold the packet: a delegate-less close below must not free it under us.
    std::shared_ptr<AsyncReadPacket> packetRef = currentRead_.packet;
    AsyncReadPacket& packet = *packetRef;
    bool done = false;
    std::optional<Error> error;
    uint64_t totalBytesReadForCurrentRead = 0;

    auto moveFromPreBuffer = [&](bool* found) {
        uint64_t n;
        if (packet.isTermRead()) {
            n = packet.readLengthForTermWithPreBuffer(preBuffer_, found);
        } else {
            n = packet.readLengthForNonTermWithHint(preBuffer_.availableBytes());
        }
        packet.ensureCapacityForAdditionalDataOfLength(n);
        if (n > 0) std::memcpy(packet.writePosition(), preBuffer_.readBuffer(), n);
        preBuffer_.didRead(n);
        packet.bytesDone += n;
        totalBytesReadForCurrentRead += n;
    };

    // 1. Bytes read ahead earlier.
    if (preBuffer_.availableBytes() > 0) {
        bool found = false;
        moveFromPreBuffer(&found);
        if (packet.readLength > 0) {
            done = packet.bytesDone == packet.readLength;
        } else if (packet.isTermRead()) {
            done = found;
            if (!done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength) error = readMaxedOutError();
        } else {
            done = packet.maxLength > 0 && packet.bytesDone == packet.maxLength;
        }
    }

    // 2. The descriptor or the TLS context.
    bool socketEOF = (flags_ & FlagReadEOF) != 0;
    bool waiting = false;
    if (!done && !error && !socketEOF) {
        if (!hasBytesAvailable) {
            waiting = true;
        } else {
            bool readIntoPreBuffer = false;
            uint64_t bytesToRead;
            if (packet.isTermRead()) {
                bytesToRead = packet.readLengthForTermWithHint(estimatedBytesAvailable, &readIntoPreBuffer);
            } else {
                bytesToRead = packet.readLengthForNonTermWithHint(estimatedBytesAvailable);
            }
            uint8_t* buffer;
            if (readIntoPreBuffer) {
                preBuffer_.ensureCapacityForWrite(bytesToRead);
                buffer = preBuffer_.writeBuffer();
            } else {
                packet.ensureCapacityForAdditionalDataOfLength(bytesToRead);
                buffer = packet.writePosition();
            }

            uint64_t bytesRead = 0;
            if (flags_ & FlagSecure) {
                TlsStatus result = tls::kNoErr;
                do {
                    size_t loopBytesRead = 0;
                    result = sslContext_->read(buffer + bytesRead, bytesToRead - bytesRead, &loopBytesRead);
                    bytesRead += loopBytesRead;
                } while (result == tls::kNoErr && bytesRead < bytesToRead);
                if (result != tls::kNoErr) {
                    if (result == tls::kWouldBlock) {
                        waiting = true;
                    } else if (result == tls::kClosedGraceful || result == tls::kClosedAbort) {
                        socketEOF = true;
                        sslErrCode_ = result;
                    } else {
                        error = sslError(result);
                    }
                }
            } else if (bytesToRead > 0) {
                const ssize_t result = ::read(currentFD(), buffer, bytesToRead);
                if (result < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK) {
                        waiting = true;
                    } else {
                        error = errnoErrorWithReason("Error in read() function");
                    }
                    socketFDBytesAvailable_ = 0;
                } else if (result == 0) {
                    socketEOF = true;
                    socketFDBytesAvailable_ = 0;
                } else {
                    bytesRead = static_cast<uint64_t>(result);
                    if (bytesRead < bytesToRead) {
                        socketFDBytesAvailable_ = 0;
                    } else {
                        socketFDBytesAvailable_ -= std::min(socketFDBytesAvailable_, bytesRead);
                    }
                    if (socketFDBytesAvailable_ == 0) waiting = true;
                }
            } else {
                waiting = true;
            }

            if (bytesRead > 0) {
                if (packet.readLength > 0) {
                    packet.bytesDone += bytesRead;
                    totalBytesReadForCurrentRead += bytesRead;
                    done = packet.bytesDone == packet.readLength;
                } else if (packet.isTermRead()) {
                    if (readIntoPreBuffer) {
                        preBuffer_.didWrite(bytesRead);
                        bool found = false;
                        moveFromPreBuffer(&found);
                        done = found;
                    } else {
                        const int64_t overflow = packet.searchForTermAfterPreBuffering(static_cast<int64_t>(bytesRead));
                        if (overflow == 0) {
                            packet.bytesDone += bytesRead;
                            totalBytesReadForCurrentRead += bytesRead;
                            done = true;
                        } else if (overflow > 0) {
                            const uint64_t underflow = bytesRead - static_cast<uint64_t>(overflow);
                            preBuffer_.ensureCapacityForWrite(static_cast<size_t>(overflow));
                            std::memcpy(preBuffer_.writeBuffer(), packet.writePosition() + underflow, static_cast<size_t>(overflow));
                            preBuffer_.didWrite(static_cast<size_t>(overflow));
                            packet.bytesDone += underflow;
                            totalBytesReadForCurrentRead += underflow;
                            done = true;
                        } else {
                            packet.bytesDone += bytesRead;
                            totalBytesReadForCurrentRead += bytesRead;
                        }
                    }
                } else {
                    packet.bytesDone += bytesRead;
                    totalBytesReadForCurrentRead += bytesRead;
                    done = true;
                }
            }
            if (packet.isTermRead() && !done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength) {
                error = readMaxedOutError();
            }
        }
    }

    if (!done && packet.readLength == 0 && !packet.isTermRead() && totalBytesReadForCurrentRead > 0) done = true;

    if (done) {
        completeCurrentRead();
        if (error) {
            closeWithError(error);
        } else if (!socketEOF) {
            maybeDequeueRead();
            if (waiting) resumeReadSource();
        } else {
            if (preBuffer_.availableBytes() > 0) maybeDequeueRead();
            // The read that was dequeued may have met the end and closed the socket already.
            if (flags_ & FlagStarted) doReadEOF();
        }
    } else {
        if (totalBytesReadForCurrentRead > 0) {
            const long tag = packet.tag;
            postDelegate(Call::DidReadPartialData, [tag, n = totalBytesReadForCurrentRead](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
                d.didReadPartialData(s, n, tag);
            });
        }
        if (error) {
            closeWithError(error);
        } else if (socketEOF) {
            doReadEOF();
        } else if (waiting) {
            resumeReadSource();
        } else if (flags_ & FlagSecure) {
            // The read stopped at its estimate, not at a would-block: the TLS layer may still
            // hold bytes that the descriptor has already handed over and will never announce
            // again. Go on with them in a later step; with nothing held, wait for the
            // descriptor.
            size_t buffered = 0;
            if (sslContext_) sslContext_->getBufferedReadSize(&buffered);
            if (buffered > 0 || (sslPreBuffer_ && sslPreBuffer_->availableBytes() > 0) || socketFDBytesAvailable_ > 0) {
                postAsync([this] { doReadData(); });
            } else {
                resumeReadSource();
            }
        }
    }
}

void AsyncSocket::doReadEOF() {
    flags_ |= FlagReadEOF;
    if (flags_ & FlagSecure) flushSSLBuffers();

    bool shouldDisconnect = false;
    std::optional<Error> error;
    if (flags_ & (FlagTLSReadReady | FlagTLSWriteReady)) {
        // The stream ended while the upgrade was pending or under way.
        shouldDisconnect = true;
        error = sslError(tls::kClosedAbort);
    } else if ((flags_ & FlagReadClosed) || preBuffer_.availableBytes() > 0) {
        // Keep the socket until the reads have taken what was read ahead.
        suspendReadSource();
    } else if (config_ & ConfigHalfDuplex) {
        pollfd pfd{};
        pfd.fd = currentFD();
        pfd.events = POLLOUT;
        ::poll(&pfd, 1, 0);
        if (pfd.revents & POLLOUT) {
            flags_ |= FlagReadClosed;
            postDelegate(Call::DidCloseReadStream, [](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
                d.socketDidCloseReadStream(s);
            });
            suspendReadSource();
        } else {
            shouldDisconnect = true;
        }
    } else {
        shouldDisconnect = true;
    }

    if (shouldDisconnect) {
        if (!error) {
            if (sslErrCode_ != tls::kNoErr && sslErrCode_ != tls::kClosedGraceful) {
                error = sslError(sslErrCode_);
            } else {
                error = connectionClosedError();
            }
        }
        closeWithError(error);
    }
}

void AsyncSocket::completeCurrentRead() {
    std::shared_ptr<AsyncReadPacket> packet = currentRead_.packet;
    AsyncSocketData result;
    if (packet->bufferOwner) {
        packet->buffer->resize(packet->bytesDone);
        result = AsyncSocketData(packet->buffer, 0, packet->bytesDone);
    } else {
        const uint64_t readSize = packet->startOffset + packet->bytesDone;
        if (packet->buffer->size() > packet->originalBufferLength && packet->buffer->size() > readSize) {
            packet->buffer->resize(std::max(readSize, packet->originalBufferLength));
        }
        result = AsyncSocketData(packet->buffer, packet->startOffset, packet->bytesDone);
    }
    const long tag = packet->tag;
    postDelegate(Call::DidReadData, [result = std::move(result), tag](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
        d.didReadData(s, result, tag);
    });
    endCurrentRead();
}

void AsyncSocket::endCurrentRead() {
    cancelTimer(readTimer_);
    currentRead_ = QueuedRead{};
}

void AsyncSocket::setupReadTimerWithTimeout(double timeout) {
    if (timeout < 0.0) return;
    startTimer(&AsyncSocket::readTimer_, timeout, &AsyncSocket::doReadTimeout);
}

void AsyncSocket::startTimer(std::shared_ptr<DispatchSource> AsyncSocket::*slot, double timeout,
                             void (AsyncSocket::*onTimeout)()) {
    std::shared_ptr<DispatchSource>& timer = this->*slot;
    if (timer) timer->cancel();
    timer = DispatchSource::makeTimer(socketQueue_);
    std::weak_ptr<AsyncSocket> weakSelf = weak_from_this();
    DispatchSource* raw = timer.get();
    timer->setEventHandler([weakSelf, raw, slot, onTimeout] {
        auto self = weakSelf.lock();
        if (self && (self.get()->*slot).get() == raw) (self.get()->*onTimeout)();
    });
    timer->setTimer(secondsToNanos(timeout), DispatchSource::kForever, std::chrono::nanoseconds(0));
    timer->resume();
}

void AsyncSocket::doReadTimeout() {
    if (!currentRead_.packet) return;
    flags_ |= FlagReadsPaused;
    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    if (delegateQueue_ && delegate && delegate->respondsTo(Call::ShouldTimeoutRead)) {
        std::shared_ptr<AsyncReadPacket> packet = currentRead_.packet;
        delegateQueue_->async([self = shared_from_this(), delegate, packet, tag = packet->tag, elapsed = packet->timeout,
                               bytesDone = packet->bytesDone] {
            const double extension = delegate->shouldTimeoutRead(self, tag, elapsed, bytesDone);
            self->socketQueue_->async([self, packet, extension] {
                // The answer is for the read that asked; a later one has its own timer.
                if (self->currentRead_.packet == packet) self->doReadTimeoutWithExtension(extension);
            });
        });
    } else {
        doReadTimeoutWithExtension(0.0);
    }
}

void AsyncSocket::doReadTimeoutWithExtension(double extension) {
    if (!currentRead_.packet) return;
    if (extendTimeout(currentRead_.packet->timeout, readTimer_, extension)) {
        flags_ &= ~FlagReadsPaused;
        doReadData();
    } else {
        closeWithError(readTimeoutError());
    }
}

// ---------------------------------------------------------------------------------------------
// Writing

void AsyncSocket::writeData(ByteBuffer data, double timeout, long tag) {
    if (data.empty()) return;
    writeData(std::make_shared<const ByteBuffer>(std::move(data)), timeout, tag);
}

void AsyncSocket::writeData(std::shared_ptr<const ByteBuffer> data, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<AsyncWritePacket>(std::move(data), timeout, tag);
    postAsync([this, packet = std::move(packet)] {
        if ((flags_ & FlagStarted) && !(flags_ & FlagNoNewRequests)) {
            writeQueue_.push_back(QueuedWrite{packet, nullptr});
            maybeDequeueWrite();
        }
    });
}

float AsyncSocket::progressOfWrite(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const {
    return onQueueSync([&]() -> float {
        if (!currentWrite_.packet) {
            if (tagPtr) *tagPtr = 0;
            if (donePtr) *donePtr = 0;
            if (totalPtr) *totalPtr = 0;
            return std::numeric_limits<float>::quiet_NaN();
        }
        const AsyncWritePacket& packet = *currentWrite_.packet;
        const uint64_t total = packet.buffer->size();
        if (tagPtr) *tagPtr = packet.tag;
        if (donePtr) *donePtr = packet.bytesDone;
        if (totalPtr) *totalPtr = total;
        return static_cast<float>(packet.bytesDone) / static_cast<float>(total);
    });
}

void AsyncSocket::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & FlagConnected)) return;
    if (!writeQueue_.empty()) {
        currentWrite_ = std::move(writeQueue_.front());
        writeQueue_.pop_front();
        if (currentWrite_.tls) {
            flags_ |= FlagTLSWriteReady;
            maybeStartTLS();
        } else {
            setupWriteTimerWithTimeout(currentWrite_.packet->timeout);
            doWriteData();
        }
    } else if (flags_ & FlagCloseAfterWrites) {
        if ((flags_ & FlagCloseAfterReads) && (!readQueue_.empty() || currentRead_)) return;
        closeWithError(std::nullopt);
    }
}

void AsyncSocket::doWriteData() {
    if (!currentWrite_ || (flags_ & FlagWritesPaused)) {
        if (flags_ & FlagCanWrite) suspendWriteSource();
        return;
    }
    if (!(flags_ & FlagCanWrite)) {
        resumeWriteSource();
        return;
    }
    if (flags_ & FlagTLSWriteReady) {
        if (flags_ & FlagTLSReadReady) {
            ssl_continueSSLHandshake();
        } else {
            suspendWriteSource();
        }
        return;
    }
    if (!currentWrite_.packet) return;

    std::shared_ptr<AsyncWritePacket> packetRef = currentWrite_.packet;
    AsyncWritePacket& packet = *packetRef;
    const uint64_t length = packet.buffer->size();
    bool waiting = false;
    std::optional<Error> error;
    uint64_t bytesWritten = 0;

    if (flags_ & FlagSecure) {
        bool hasNewDataToWrite = true;
        if (sslWriteCachedLength_ > 0) {
            size_t processed = 0;
            const TlsStatus result = sslContext_->write(nullptr, 0, &processed);
            if (result == tls::kNoErr) {
                bytesWritten = sslWriteCachedLength_;
                sslWriteCachedLength_ = 0;
                if (packet.bytesDone + bytesWritten == length) hasNewDataToWrite = false;
            } else {
                if (result == tls::kWouldBlock) {
                    waiting = true;
                } else {
                    error = sslError(result);
                }
                hasNewDataToWrite = false;
            }
        }
        if (hasNewDataToWrite) {
            const uint8_t* buffer = packet.buffer->data() + packet.bytesDone + bytesWritten;
            uint64_t bytesToWrite = length - packet.bytesDone - bytesWritten;
            while (bytesToWrite > 0) {
                // Bounded records, so that one large body is encrypted piece by piece.
                const size_t piece = static_cast<size_t>(std::min<uint64_t>(bytesToWrite, 32768));
                size_t processed = 0;
                const TlsStatus result = sslContext_->write(buffer, piece, &processed);
                if (result == tls::kNoErr) {
                    bytesWritten += processed;
                    buffer += processed;
                    bytesToWrite -= processed;
                    if (processed == 0) break;  // never spin on a context that takes nothing
                } else if (result == tls::kWouldBlock) {
                    sslWriteCachedLength_ = piece;
                    waiting = true;
                    break;
                } else {
                    error = sslError(result);
                    break;
                }
            }
        }
    } else {
        const ssize_t result = ::send(currentFD(), packet.buffer->data() + packet.bytesDone,
                                      static_cast<size_t>(length - packet.bytesDone), MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                waiting = true;
            } else {
                error = errnoErrorWithReason("Error in write() function");
            }
        } else {
            bytesWritten = static_cast<uint64_t>(result);
        }
    }

    if (waiting) {
        flags_ &= ~FlagCanWrite;
        resumeWriteSource();
    }

    if (bytesWritten > 0) packet.bytesDone += bytesWritten;
    if (packet.bytesDone == length) {
        completeCurrentWrite();
        if (!error) {
            maybeDequeueWrite();
            return;
        }
    } else {
        if (!waiting && !error) {
            flags_ &= ~FlagCanWrite;
            resumeWriteSource();
        }
        // The bytes that went out before a failure are reported too, ahead of the close.
        if (bytesWritten > 0) {
            const long tag = packet.tag;
            postDelegate(Call::DidWritePartialData, [tag, n = bytesWritten](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
                d.didWritePartialData(s, n, tag);
            });
        }
        if (!error) return;
    }
    closeWithError(error);
}

void AsyncSocket::completeCurrentWrite() {
    const long tag = currentWrite_.packet->tag;
    postDelegate(Call::DidWriteData, [tag](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) { d.didWriteData(s, tag); });
    endCurrentWrite();
}

void AsyncSocket::endCurrentWrite() {
    cancelTimer(writeTimer_);
    currentWrite_ = QueuedWrite{};
}

void AsyncSocket::setupWriteTimerWithTimeout(double timeout) {
    if (timeout < 0.0) return;
    startTimer(&AsyncSocket::writeTimer_, timeout, &AsyncSocket::doWriteTimeout);
}

void AsyncSocket::doWriteTimeout() {
    if (!currentWrite_.packet) return;
    flags_ |= FlagWritesPaused;
    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    if (delegateQueue_ && delegate && delegate->respondsTo(Call::ShouldTimeoutWrite)) {
        std::shared_ptr<AsyncWritePacket> packet = currentWrite_.packet;
        delegateQueue_->async([self = shared_from_this(), delegate, packet, tag = packet->tag, elapsed = packet->timeout,
                               bytesDone = packet->bytesDone] {
            const double extension = delegate->shouldTimeoutWrite(self, tag, elapsed, bytesDone);
            self->socketQueue_->async([self, packet, extension] {
                if (self->currentWrite_.packet == packet) self->doWriteTimeoutWithExtension(extension);
            });
        });
    } else {
        doWriteTimeoutWithExtension(0.0);
    }
}

void AsyncSocket::doWriteTimeoutWithExtension(double extension) {
    if (!currentWrite_.packet) return;
    if (extendTimeout(currentWrite_.packet->timeout, writeTimer_, extension)) {
        flags_ &= ~FlagWritesPaused;
        doWriteData();
    } else {
        closeWithError(writeTimeoutError());
    }
}

// ---------------------------------------------------------------------------------------------
// TLS

void AsyncSocket::startTLS(TlsSettings settings) {
    auto packet = std::make_shared<AsyncSpecialPacket>(std::move(settings));
    postAsync([this, packet = std::move(packet)] {
        if ((flags_ & FlagStarted) && !(flags_ & FlagNoNewRequests) && !(flags_ & FlagTLSQueued)) {
            readQueue_.push_back(QueuedRead{nullptr, packet});
            writeQueue_.push_back(QueuedWrite{nullptr, packet});
            flags_ |= FlagTLSQueued;
            maybeDequeueRead();
            maybeDequeueWrite();
        }
    });
}

void AsyncSocket::maybeStartTLS() {
    if ((flags_ & FlagTLSReadReady) && (flags_ & FlagTLSWriteReady)) ssl_startTLS();
}

void AsyncSocket::ssl_startTLS() {
    const TlsSettings settings = currentRead_.tls ? currentRead_.tls->tlsSettings : currentWrite_.tls->tlsSettings;

    const bool isServer = settings.isServer.value_or(false);
    sslContext_ = TlsContext::create(isServer ? TlsContext::Side::Server : TlsContext::Side::Client);
    if (!sslContext_) {
        closeWithError(otherError("Error in SSLNewContext"));
        return;
    }
    if (sslContext_->setIOFuncs(&SSLReadFunction, &SSLWriteFunction) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetIOFuncs"));
        return;
    }
    if (sslContext_->setConnection(this) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetConnection"));
        return;
    }
    if (settings.peerName) {
        const std::string& name = *settings.peerName;
        if (sslContext_->setPeerDomainName(name.data(), name.size()) != tls::kNoErr) {
            closeWithError(otherError("Error in SSLSetPeerDomainName"));
            return;
        }
    }
    if (settings.allowsAnyRoot && sslContext_->setAllowsAnyRoot(*settings.allowsAnyRoot) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetAllowsAnyRoot"));
        return;
    }
    if (settings.allowsExpiredRoots && sslContext_->setAllowsExpiredRoots(*settings.allowsExpiredRoots) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetAllowsExpiredRoots"));
        return;
    }
    if (settings.validatesCertificateChain &&
        sslContext_->setEnableCertVerify(*settings.validatesCertificateChain) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetEnableCertVerify"));
        return;
    }
    if (settings.allowsExpiredCertificates &&
        sslContext_->setAllowsExpiredCerts(*settings.allowsExpiredCertificates) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetAllowsExpiredCerts"));
        return;
    }
    if (settings.certificates && sslContext_->setCertificate(*settings.certificates) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetCertificate"));
        return;
    }
    if (settings.level) {
        using platform::TlsProtocol;
        const std::string& level = *settings.level;
        std::vector<std::pair<TlsProtocol, bool>> calls;
        // The SSLv2, SSLv3 and TLSv1 levels ask for broken protocols; the engine refuses to
        // enable them, so those levels fail here instead of weakening the connection.
        if (level == TlsSettings::kLevelSSLv2) {
            calls = {{TlsProtocol::All, false}, {TlsProtocol::SSL2, true}};
        } else if (level == TlsSettings::kLevelSSLv3) {
            calls = {{TlsProtocol::All, false}, {TlsProtocol::SSL2, true}, {TlsProtocol::SSL3, true}};
        } else if (level == TlsSettings::kLevelTLSv1) {
            calls = {{TlsProtocol::All, false}, {TlsProtocol::TLS1, true}};
        } else if (level == TlsSettings::kLevelNegotiatedSSL) {
            calls = {{TlsProtocol::All, true}};
        }
        for (const auto& [protocol, enable] : calls) {
            if (sslContext_->setProtocolVersionEnabled(protocol, enable) != tls::kNoErr) {
                closeWithError(otherError("Error in SSLSetProtocolVersionEnabled"));
                return;
            }
        }
    }
    if (settings.cipherSuites) {
        std::vector<uint16_t> ciphers;
        ciphers.reserve(settings.cipherSuites->size());
        for (long value : *settings.cipherSuites) ciphers.push_back(static_cast<uint16_t>(value & 0xFFFF));
        if (sslContext_->setEnabledCiphers(ciphers.data(), ciphers.size()) != tls::kNoErr) {
            closeWithError(otherError("Error in SSLSetEnabledCiphers"));
            return;
        }
    }
    if (settings.diffieHellmanParameters) {
        const auto& dh = *settings.diffieHellmanParameters;
        if (sslContext_->setDiffieHellmanParams(dh.data(), dh.size()) != tls::kNoErr) {
            closeWithError(otherError("Error in SSLSetDiffieHellmanParams"));
            return;
        }
    }

    sslPreBuffer_ = std::make_unique<AsyncSocketPreBuffer>(4096);
    // Bytes read ahead before the upgrade are the start of the handshake.
    const size_t preBufferLength = preBuffer_.availableBytes();
    if (preBufferLength > 0) {
        sslPreBuffer_->ensureCapacityForWrite(preBufferLength);
        std::memcpy(sslPreBuffer_->writeBuffer(), preBuffer_.readBuffer(), preBufferLength);
        preBuffer_.didRead(preBufferLength);
        sslPreBuffer_->didWrite(preBufferLength);
    }
    sslErrCode_ = tls::kNoErr;

    // A peer that connects and never finishes the handshake must not hold the socket for
    // ever: the handshake gets a time-out of its own, on the read timer (the marker has none).
    if (settings.handshakeTimeout >= 0.0) {
        startTimer(&AsyncSocket::readTimer_, settings.handshakeTimeout, &AsyncSocket::doHandshakeTimeout);
    }

    ssl_continueSSLHandshake();
}

void AsyncSocket::doHandshakeTimeout() {
    if ((flags_ & FlagTLSReadReady) && (flags_ & FlagTLSWriteReady)) closeWithError(readTimeoutError());
}

void AsyncSocket::ssl_continueSSLHandshake() {
    if (!sslContext_) return;
    const TlsStatus status = sslContext_->handshake();
    if (status == tls::kWouldBlock) return;
    if (status != tls::kNoErr) {
        closeWithError(sslError(status));
        return;
    }
    flags_ &= ~(FlagTLSReadReady | FlagTLSWriteReady);
    flags_ |= FlagSecure;
    postDelegate(Call::DidSecure, [](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) { d.socketDidSecure(s); });
    endCurrentRead();
    endCurrentWrite();
    maybeDequeueRead();
    maybeDequeueWrite();
}

void AsyncSocket::flushSSLBuffers() {
    if (!(flags_ & FlagSecure) || !sslContext_) return;
    if (preBuffer_.availableBytes() > 0) return;

    auto estimate = [this] {
        size_t buffered = 0;
        sslContext_->getBufferedReadSize(&buffered);
        return socketFDBytesAvailable_ + (sslPreBuffer_ ? sslPreBuffer_->availableBytes() : 0) + buffered;
    };
    uint64_t estimatedBytesAvailable = estimate();
    while (estimatedBytesAvailable > 0 && sslContext_) {
        preBuffer_.ensureCapacityForWrite(static_cast<size_t>(estimatedBytesAvailable));
        size_t bytesRead = 0;
        const TlsStatus result = sslContext_->read(preBuffer_.writeBuffer(), static_cast<size_t>(estimatedBytesAvailable), &bytesRead);
        if (bytesRead > 0) preBuffer_.didWrite(bytesRead);
        if (result != tls::kNoErr) break;
        estimatedBytesAvailable = estimate();
    }
}

TlsStatus AsyncSocket::sslReadWithBuffer(void* buffer, size_t* bufferLength) {
    const size_t wanted = *bufferLength;
    if (socketFDBytesAvailable_ == 0 && (!sslPreBuffer_ || sslPreBuffer_->availableBytes() == 0)) {
        resumeReadSource();
        *bufferLength = 0;
        return tls::kWouldBlock;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    size_t totalBytesRead = 0;

    if (sslPreBuffer_) {
        const size_t fromPreBuffer = std::min(sslPreBuffer_->availableBytes(), wanted);
        if (fromPreBuffer > 0) {
            std::memcpy(out, sslPreBuffer_->readBuffer(), fromPreBuffer);
            sslPreBuffer_->didRead(fromPreBuffer);
            totalBytesRead = fromPreBuffer;
        }
        if (totalBytesRead == wanted) {
            *bufferLength = wanted;
            return tls::kNoErr;
        }
    }
    if (socketFDBytesAvailable_ == 0) {
        *bufferLength = totalBytesRead;
        return tls::kWouldBlock;
    }

    const size_t stillWanted = wanted - totalBytesRead;
    const bool readIntoPreBuffer = socketFDBytesAvailable_ > stillWanted && sslPreBuffer_;
    uint8_t* target;
    size_t bytesToRead;
    if (readIntoPreBuffer) {
        bytesToRead = static_cast<size_t>(socketFDBytesAvailable_);
        sslPreBuffer_->ensureCapacityForWrite(bytesToRead);
        target = sslPreBuffer_->writeBuffer();
    } else {
        bytesToRead = stillWanted;
        target = out + totalBytesRead;
    }
    const ssize_t result = ::read(currentFD(), target, bytesToRead);
    if (result <= 0) {
        const int readErrno = errno;
        socketFDBytesAvailable_ = 0;
        *bufferLength = totalBytesRead;
        if (result < 0 && (readErrno == EAGAIN || readErrno == EWOULDBLOCK)) return tls::kWouldBlock;
        return tls::kClosedAbort;
    }
    const size_t bytesRead = static_cast<size_t>(result);
    socketFDBytesAvailable_ -= std::min<uint64_t>(socketFDBytesAvailable_, bytesRead);
    size_t givenNow = bytesRead;
    if (readIntoPreBuffer) {
        sslPreBuffer_->didWrite(bytesRead);
        givenNow = std::min(bytesRead, stillWanted);
        std::memcpy(out + totalBytesRead, sslPreBuffer_->readBuffer(), givenNow);
        sslPreBuffer_->didRead(givenNow);
    }
    *bufferLength = totalBytesRead + givenNow;
    return givenNow == stillWanted ? tls::kNoErr : tls::kWouldBlock;
}

TlsStatus AsyncSocket::sslWriteWithBuffer(const void* buffer, size_t* bufferLength) {
    if (!(flags_ & FlagCanWrite)) {
        resumeWriteSource();
        *bufferLength = 0;
        return tls::kWouldBlock;
    }
    const size_t bytesToWrite = *bufferLength;
    const ssize_t result = ::send(currentFD(), buffer, bytesToWrite, MSG_NOSIGNAL);
    if (result < 0) {
        const int writeErrno = errno;
        flags_ &= ~FlagCanWrite;
        *bufferLength = 0;
        if (writeErrno == EAGAIN || writeErrno == EWOULDBLOCK) {
            resumeWriteSource();
            return tls::kWouldBlock;
        }
        return tls::kClosedAbort;
    }
    if (result == 0) {
        flags_ &= ~FlagCanWrite;
        *bufferLength = 0;
        resumeWriteSource();
        return tls::kWouldBlock;
    }
    *bufferLength = static_cast<size_t>(result);
    if (static_cast<size_t>(result) == bytesToWrite) return tls::kNoErr;
    // Stopped short: wait for writability before the rest.
    flags_ &= ~FlagCanWrite;
    resumeWriteSource();
    return tls::kWouldBlock;
}

// ---------------------------------------------------------------------------------------------
// Utilities and queue-bound accessors

bool AsyncSocket::getHost(std::string* hostPtr, uint16_t* portPtr, const ByteBuffer& address) {
    if (address.size() < sizeof(sockaddr_in)) return false;
    sa_family_t family;
    std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
    if (family == AF_INET) {
        sockaddr_in sockaddr4;
        std::memcpy(&sockaddr4, address.data(), sizeof sockaddr4);
        if (hostPtr) *hostPtr = hostFromSockaddr4(&sockaddr4);
        if (portPtr) *portPtr = portFromSockaddr4(&sockaddr4);
        return true;
    }
    if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        sockaddr_in6 sockaddr6;
        std::memcpy(&sockaddr6, address.data(), sizeof sockaddr6);
        if (hostPtr) *hostPtr = hostFromSockaddr6(&sockaddr6);
        if (portPtr) *portPtr = portFromSockaddr6(&sockaddr6);
        return true;
    }
    return false;
}

std::optional<std::string> AsyncSocket::hostFromAddress(const ByteBuffer& address) {
    std::string host;
    if (!getHost(&host, nullptr, address)) return std::nullopt;
    return host;
}

uint16_t AsyncSocket::portFromAddress(const ByteBuffer& address) {
    uint16_t port = 0;
    if (!getHost(nullptr, &port, address)) return 0;
    return port;
}

std::string AsyncSocket::hostFromSockaddr4(const sockaddr_in* address) {
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) return "";
    return text;
}

std::string AsyncSocket::hostFromSockaddr6(const sockaddr_in6* address) {
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text)) return "";
    return text;
}

uint16_t AsyncSocket::portFromSockaddr4(const sockaddr_in* address) { return ntohs(address->sin_port); }

uint16_t AsyncSocket::portFromSockaddr6(const sockaddr_in6* address) { return ntohs(address->sin6_port); }

int AsyncSocket::socketFD() const {
    if (!onSocketQueue()) return -1;
    return currentFD();
}

int AsyncSocket::socket4FD() const { return onSocketQueue() ? socket4FD_ : -1; }

int AsyncSocket::socket6FD() const { return onSocketQueue() ? socket6FD_ : -1; }

platform::TlsContext* AsyncSocket::sslContext() const { return onSocketQueue() ? sslContext_.get() : nullptr; }

bool AsyncSocket::autoDisconnectOnClosedReadStream() const {
    return onQueueSync([this] { return (config_ & ConfigHalfDuplex) == 0; });
}

void AsyncSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    onQueueAsync([this, flag] {
        if (flag) config_ &= static_cast<uint16_t>(~ConfigHalfDuplex);
        else config_ |= ConfigHalfDuplex;
    });
}

bool AsyncSocket::markSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    // Code on the marked queue touches the socket's state inline: only safe when no task of
    // that queue can run alongside one of the socket queue.
    if (!queue || !(socketQueue_->runsOn(*queue) || queue->runsOn(*socketQueue_))) return false;
    queue->setSpecific(isOnSocketQueueOrTargetQueueKey_, this);
    return true;
}

void AsyncSocket::unmarkSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    if (queue && queue->getSpecificOfQueue(isOnSocketQueueOrTargetQueueKey_) == this) {
        queue->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
    }
}

void AsyncSocket::performBlock(const std::function<void()>& block) {
    if (onSocketQueue()) {
        block();
    } else {
        socketQueue_->sync(block);
    }
}
