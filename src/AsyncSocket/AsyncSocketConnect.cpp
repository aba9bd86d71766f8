#include "AsyncSocket/AsyncSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "AsyncSocket/detail/AsyncSocketInternal.h"

using platform::DispatchQueue;
using platform::DispatchSource;
using Call = AsyncSocketDelegate::Call;
using asyncsocket::detail::addressBytes;

namespace {

asyncsocket::detail::TestHook<int(const char*, const char*, const addrinfo*, addrinfo**)> addressLookup;

// The address family of a socket address as this platform lays it out; 0 when too short.
sa_family_t familyOf(const ByteBuffer& address) {
    sa_family_t family = 0;
    if (address.size() >= offsetof(sockaddr, sa_family) + sizeof family) {
        std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
    }
    return family;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Connecting

void AsyncSocket::setAddressLookupForTesting(AddressLookup lookup) {
    addressLookup.set(std::move(lookup));
}

bool AsyncSocket::connectToHost(const std::string& host, uint16_t port, Error* errPtr) {
    return connectToHost(host, port, std::nullopt, -1.0, errPtr);
}

bool AsyncSocket::connectToHost(const std::string& host, uint16_t port, double timeout, Error* errPtr) {
    return connectToHost(host, port, std::nullopt, timeout, errPtr);
}

bool AsyncSocket::connectToHost(const std::string& host, uint16_t port, const std::optional<std::string>& interface,
                                double timeout, Error* errPtr) {
    const std::string hostCopy = host;
    const std::optional<std::string> interfaceCopy = interface;
    std::optional<Error> error;
    const bool result = onQueueSync([&]() -> bool {
        if (hostCopy.empty()) {
            error = badParamError("Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
            return false;
        }
        Error preConnectError;
        if (!preConnectWithInterface(interfaceCopy, &preConnectError)) {
            error = preConnectError;
            return false;
        }
        flags_ |= FlagStarted;
        DispatchQueue::globalConcurrent()->async([weakSelf = weak_from_this(), index = connectIndex_, hostCopy, port] {
            lookup(weakSelf, index, hostCopy, port);
        });
        startConnectTimeout(timeout);
        return true;
    });
    if (!result && errPtr && error) *errPtr = *error;
    return result;
}

bool AsyncSocket::connectToAddress(const ByteBuffer& address, Error* errPtr) {
    return connectToAddress(address, std::nullopt, -1.0, errPtr);
}

bool AsyncSocket::connectToAddress(const ByteBuffer& address, double timeout, Error* errPtr) {
    return connectToAddress(address, std::nullopt, timeout, errPtr);
}

bool AsyncSocket::connectToAddress(const ByteBuffer& address, const std::optional<std::string>& interface, double timeout,
                                   Error* errPtr) {
    const ByteBuffer addressCopy = address;
    const std::optional<std::string> interfaceCopy = interface;
    std::optional<Error> error;
    const bool result = onQueueSync([&]() -> bool {
        std::optional<ByteBuffer> address4;
        std::optional<ByteBuffer> address6;
        const sa_family_t family = familyOf(addressCopy);
        if (addressCopy.size() >= sizeof(sockaddr_in)) {
            if (family == AF_INET6 && addressCopy.size() == sizeof(sockaddr_in6)) {
                address6 = addressCopy;
            } else if (family == AF_INET && addressCopy.size() == sizeof(sockaddr_in)) {
                address4 = addressCopy;
            }
        }
        if (!address4 && !address6) {
            error = badParamError("A valid IPv4 or IPv6 address was not given");
            return false;
        }
        if (address4 && (config_ & ConfigNoIPv4)) {
            error = badParamError("IPv4 has been disabled and an IPv4 address was passed.");
            return false;
        }
        if (address6 && (config_ & ConfigNoIPv6)) {
            error = badParamError("IPv6 has been disabled and an IPv6 address was passed.");
            return false;
        }
        Error connectError;
        if (!preConnectWithInterface(interfaceCopy, &connectError) || !connectWithAddress(address4, address6, &connectError)) {
            error = connectError;
            return false;
        }
        flags_ |= FlagStarted;
        startConnectTimeout(timeout);
        return true;
    });
    if (!result && errPtr && error) *errPtr = *error;
    return result;
}

bool AsyncSocket::preConnectWithInterface(const std::optional<std::string>& interface, Error* errPtr) {
    auto fail = [errPtr](Error error) {
        if (errPtr) *errPtr = std::move(error);
        return false;
    };
    if (delegate_.expired()) return fail(badConfigError("Attempting to connect without a delegate. Set a delegate first."));
    if (!delegateQueue_) {
        return fail(badConfigError("Attempting to connect without a delegate queue. Set a delegate queue first."));
    }
    if (flags_ & FlagStarted) {
        return fail(badConfigError("Attempting to connect while connected or accepting connections. Disconnect first."));
    }
    const bool isIPv4Disabled = (config_ & ConfigNoIPv4) != 0;
    const bool isIPv6Disabled = (config_ & ConfigNoIPv6) != 0;
    if (isIPv4Disabled && isIPv6Disabled) {
        return fail(badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
    }
    // An earlier attempt that failed before it started leaves no interface behind.
    connectInterface4_.reset();
    connectInterface6_.reset();
    if (interface) {
        std::optional<ByteBuffer> interface4;
        std::optional<ByteBuffer> interface6;
        getInterfaceAddress(&interface4, &interface6, interface, 0);
        if (!interface4 && !interface6) {
            return fail(badParamError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
        }
        if (isIPv4Disabled && !interface6) {
            return fail(badParamError("IPv4 has been disabled and specified interface doesn't support IPv6."));
        }
        if (isIPv6Disabled && !interface4) {
            return fail(badParamError("IPv6 has been disabled and specified interface doesn't support IPv4."));
        }
        connectInterface4_ = std::move(interface4);
        connectInterface6_ = std::move(interface6);
    }
    readQueue_.clear();
    writeQueue_.clear();
    return true;
}

void AsyncSocket::lookup(const std::weak_ptr<AsyncSocket>& socket, int aConnectIndex, const std::string& host,
                         uint16_t port) {
    // On the global queue, with the values captured when it was posted. The socket is held only
    // weakly while the name service answers, which can take long: an owner that lets go of a
    // connecting socket is rid of it at once, and a result without a socket is dropped.
    std::optional<ByteBuffer> address4;
    std::optional<ByteBuffer> address6;
    std::optional<Error> error;
    if (host == "localhost" || host == "loopback") {
        sockaddr_in sockaddr4{};
        sockaddr4.sin_family = AF_INET;
        sockaddr4.sin_port = htons(port);
        sockaddr4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 sockaddr6{};
        sockaddr6.sin6_family = AF_INET6;
        sockaddr6.sin6_port = htons(port);
        sockaddr6.sin6_addr = in6addr_loopback;
        address4 = addressBytes(&sockaddr4, sizeof sockaddr4);
        address6 = addressBytes(&sockaddr6, sizeof sockaddr6);
    } else {
        const std::string service = std::to_string(port);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* results = nullptr;
        const int gaiResult = addressLookup.call(::getaddrinfo, host.c_str(), service.c_str(), &hints, &results);
        if (gaiResult != 0) {
            error = gaiError(gaiResult);
        } else {
            for (const addrinfo* info = results; info; info = info->ai_next) {
                if (!address4 && info->ai_family == AF_INET) {
                    address4 = addressBytes(info->ai_addr, info->ai_addrlen);
                } else if (!address6 && info->ai_family == AF_INET6) {
                    address6 = addressBytes(info->ai_addr, info->ai_addrlen);
                }
            }
            ::freeaddrinfo(results);
            if (!address4 && !address6) error = gaiError(EAI_FAIL);
        }
    }
    auto self = socket.lock();
    if (!self) return;
    if (error) {
        self->socketQueue_->async([self, aConnectIndex, error = std::move(*error)] { self->lookup(aConnectIndex, error); });
    } else {
        self->socketQueue_->async([self, aConnectIndex, address4 = std::move(address4), address6 = std::move(address6)] {
            self->lookup(aConnectIndex, address4, address6);
        });
    }
}

void AsyncSocket::lookup(int aConnectIndex, const std::optional<ByteBuffer>& address4, const std::optional<ByteBuffer>& address6) {
    if (aConnectIndex != connectIndex_) return;  // an attempt that has ended since
    const bool isIPv4Disabled = (config_ & ConfigNoIPv4) != 0;
    const bool isIPv6Disabled = (config_ & ConfigNoIPv6) != 0;
    // Both may have been turned off while the lookup ran; then no address is left to use.
    if (isIPv4Disabled && isIPv6Disabled) {
        closeWithError(badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
        return;
    }
    if (isIPv4Disabled && !address6) {
        closeWithError(otherError("IPv4 has been disabled and DNS lookup found no IPv6 address."));
        return;
    }
    if (isIPv6Disabled && !address4) {
        closeWithError(otherError("IPv6 has been disabled and DNS lookup found no IPv4 address."));
        return;
    }
    // A disabled family is never used, also when the lookup found an address of it.
    Error error;
    if (!connectWithAddress(isIPv4Disabled ? std::nullopt : address4, isIPv6Disabled ? std::nullopt : address6, &error)) {
        closeWithError(error);
    }
}

void AsyncSocket::lookup(int aConnectIndex, const Error& error) {
    if (aConnectIndex != connectIndex_) return;
    endConnectTimeout();
    closeWithError(error);
}

bool AsyncSocket::connectWithAddress(const std::optional<ByteBuffer>& address4, const std::optional<ByteBuffer>& address6,
                                     Error* errPtr) {
    const bool useIPv6 = !address4 || (address6 && (config_ & ConfigPreferIPv6));
    const ByteBuffer& address = useIPv6 ? *address6 : *address4;
    int& socketFD = useIPv6 ? socket6FD_ : socket4FD_;
    const std::optional<ByteBuffer>& connectInterface = useIPv6 ? connectInterface6_ : connectInterface4_;

    // Close-on-exec, as every descriptor of the socket layer, and non-blocking from the start:
    // the connect is only begun here, and its end comes to the socket queue as an event of a
    // write source. No thread waits on it, and a close at any moment ends it and frees the
    // descriptor at once.
    socketFD = ::socket(useIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socketFD == -1) {
        if (errPtr) *errPtr = errnoErrorWithReason("Error in socket() function");
        return false;
    }
    if (connectInterface) {
        if (portFromAddress(*connectInterface) != 0) {
            int reuseOn = 1;
            ::setsockopt(socketFD, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn);
        }
        if (::bind(socketFD, reinterpret_cast<const sockaddr*>(connectInterface->data()),
                   static_cast<socklen_t>(connectInterface->size())) == -1) {
            if (errPtr) *errPtr = errnoErrorWithReason("Error in bind() function");
            ::close(socketFD);
            socketFD = -1;
            return false;
        }
    }
    // This platform has no SO_NOSIGPIPE: every send on the descriptor passes MSG_NOSIGNAL.

    // Whatever the connect answers here, the attempt has started: its end, also an immediate
    // one, reaches the caller through the socket queue, never from inside this call.
    const int index = connectIndex_;
    if (::connect(socketFD, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) == 0) {
        postAsync([this, index] { didConnect(index); });
        return true;
    }
    // (EINTR: the connect goes on in the background, as with EINPROGRESS.)
    if (errno != EINPROGRESS && errno != EINTR) {
        postAsync([this, index, error = errnoErrorWithReason("Error in connect() function")] { didNotConnect(index, error); });
        return true;
    }
    connectSource_ = DispatchSource::makeWrite(socketFD, socketQueue_);
    if (!connectSource_) {
        postAsync([this, index, error = errnoErrorWithReason("Error creating dispatch sources")] { didNotConnect(index, error); });
        return true;
    }
    // The socket is held weakly: an owner that lets go of a connecting socket is rid of it at
    // once, and its close ends the connect.
    std::weak_ptr<AsyncSocket> weakSelf = weak_from_this();
    DispatchSource* connectRaw = connectSource_.get();
    connectSource_->setEventHandler([weakSelf, connectRaw, index] {
        auto self = weakSelf.lock();
        if (!self || self->connectSource_.get() != connectRaw) return;
        // Writable: the connect has ended, and SO_ERROR tells how.
        int result = 0;
        socklen_t length = sizeof result;
        if (::getsockopt(connectRaw->fd(), SOL_SOCKET, SO_ERROR, &result, &length) == -1) result = errno;
        self->endConnectSource();
        if (result == 0) {
            self->didConnect(index);
        } else {
            errno = result;
            self->didNotConnect(index, errnoErrorWithReason("Error in connect() function"));
        }
    });
    connectSource_->resume();
    return true;
}

void AsyncSocket::endConnectSource() {
    // Cancelled on the socket queue, the source never runs its handler again nor touches the
    // descriptor, which thus may be closed, or handed to the read and write sources, at once.
    if (connectSource_) {
        connectSource_->cancel();
        connectSource_.reset();
    }
}

void AsyncSocket::didConnect(int aConnectIndex) {
    if (aConnectIndex != connectIndex_) return;
    flags_ |= FlagConnected;
    endConnectTimeout();
    const std::string host = connectedHost().value_or("");
    const uint16_t port = connectedPort();
    postDelegate(Call::DidConnectToHost, [host, port](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
        d.didConnectToHost(s, host, port);
    });

    const int fd = currentFD();
    const int fdFlags = ::fcntl(fd, F_GETFL);
    if (::fcntl(fd, F_SETFL, (fdFlags == -1 ? 0 : fdFlags) | O_NONBLOCK) == -1) {
        closeWithError(otherError("Error enabling non-blocking IO on socket (fcntl)"));
        return;
    }
    setupReadAndWriteSourcesForNewlyConnectedSocket(fd);
    // Reads and writes asked for while connecting.
    maybeDequeueRead();
    maybeDequeueWrite();
}

void AsyncSocket::didNotConnect(int aConnectIndex, const Error& error) {
    if (aConnectIndex != connectIndex_) return;
    closeWithError(error);
}

void AsyncSocket::startConnectTimeout(double timeout) {
    if (timeout < 0.0) return;
    startTimer(&AsyncSocket::connectTimer_, timeout, &AsyncSocket::doConnectTimeout);
}

void AsyncSocket::doConnectTimeout() {
    endConnectTimeout();
    closeWithError(connectTimeoutError());
}

void AsyncSocket::endConnectTimeout() {
    cancelTimer(connectTimer_);
    // Every lookup or connect result still under way now carries an old number and is
    // dropped when it arrives.
    ++connectIndex_;
    connectInterface4_.reset();
    connectInterface6_.reset();
}
