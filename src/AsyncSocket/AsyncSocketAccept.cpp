#include "AsyncSocket/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <chrono>
#include <vector>

#include "AsyncSocket/detail/AsyncSocketInternal.h"
#include "Platform/PlainLog.h"

using platform::DispatchQueue;
using platform::DispatchSource;
using Call = AsyncSocketDelegate::Call;
using asyncsocket::detail::addressBytes;

namespace {

// How many ports the system may choose for IPv4 that turn out to be taken on the IPv6 side
// before listening fails with that error.
constexpr size_t kChosenPortAttempts = 16;

asyncsocket::detail::TestHook<std::shared_ptr<DispatchSource>(int, const std::shared_ptr<DispatchQueue>&)> listeningSourceMaker;

std::shared_ptr<DispatchSource> makeListeningSource(int fd, const std::shared_ptr<DispatchQueue>& queue) {
    return listeningSourceMaker.call(&DispatchSource::makeRead, fd, queue);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Listening and accepting

void AsyncSocket::setListeningSourceMakerForTesting(ListeningSourceMaker maker) {
    listeningSourceMaker.set(std::move(maker));
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

        // With port 0 both families listen on the port the system chose for IPv4, which another
        // program may hold on the IPv6 side alone. Such a port is not the caller's fault: it is kept
        // open while the system chooses again (so that it cannot hand out the same one), and every
        // port kept so is closed once the pair is settled.
        std::vector<int> portsPassedOver;
        auto closePassedOver = [&portsPassedOver] {
            for (int fd : portsPassedOver) ::close(fd);
        };
        Error socketError;
        for (;;) {
            if (enableIPv4) {
                socket4FD_ = createListeningSocket(AF_INET, *interface4, &socketError);
                if (socket4FD_ == -1) {
                    closePassedOver();
                    error = socketError;
                    return false;
                }
            }
            if (enableIPv6) {
                const bool sharesChosenPort = enableIPv4 && port == 0;
                if (sharesChosenPort) {
                    auto* address6 = reinterpret_cast<sockaddr_in6*>(interface6->data());
                    address6->sin6_port = htons(localPort4());
                }
                socket6FD_ = createListeningSocket(AF_INET6, *interface6, &socketError);
                if (socket6FD_ == -1) {
                    if (sharesChosenPort && socketError.code == EADDRINUSE &&
                        portsPassedOver.size() < kChosenPortAttempts) {
                        portsPassedOver.push_back(socket4FD_);
                        socket4FD_ = -1;
                        continue;
                    }
                    if (socket4FD_ != -1) {
                        ::close(socket4FD_);
                        socket4FD_ = -1;
                    }
                    closePassedOver();
                    error = socketError;
                    return false;
                }
            }
            break;
        }
        closePassedOver();

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
                // A pause (the accept limit reached, or no descriptor to be had) ends the pass.
                while (self->doAccept(fd) && ++i < pending && !self->acceptSourcesSuspended_) {
                }
                // A shortage lasts until a pass ends without one, a pause after its last
                // failure: a connection accepted now and then, as descriptors come free one at
                // a time, does not end it, nor does a backlog emptied in the moment after a
                // close ended the pause, under a flood that fills it again.
                if (self->acceptShortOfResources_ && !self->acceptPausedForResources_ &&
                    std::chrono::steady_clock::now() - self->acceptShortageLastFailure_ >=
                        std::chrono::milliseconds(kAcceptPauseMilliseconds)) {
                    self->acceptShortOfResources_ = false;
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
        // Sockets accepted before a close may still hold the limit.
        updateAcceptSources();
        return true;
    });
    if (!result && errPtr && error) *errPtr = *error;
    return result;
}

void AsyncSocket::setAcceptLimit(size_t limit) {
    onQueueAsync([this, limit] {
        acceptLimit_ = limit;
        updateAcceptSources();
    });
}

size_t AsyncSocket::acceptLimit() const {
    return onQueueSync([this] { return acceptLimit_; });
}

void AsyncSocket::updateAcceptSources() {
    if (!accept4Source_ && !accept6Source_) return;
    const bool pause = acceptPausedForResources_ || (acceptLimit_ != 0 && acceptedSockets_ >= acceptLimit_);
    if (pause == acceptSourcesSuspended_) return;
    for (const auto& source : {accept4Source_, accept6Source_}) {
        if (!source) continue;
        if (pause) {
            source->suspend();
        } else {
            source->resume();
        }
    }
    acceptSourcesSuspended_ = pause;
}

void AsyncSocket::pauseAcceptingForResources(int error) {
    // One line for the whole shortage, however often accept fails in it. A failure long after
    // the last one starts a new shortage, even where no pass of accepts has ended the old one
    // (a close ended the pause, the backlog was emptied at once, and no client came since).
    const auto now = std::chrono::steady_clock::now();
    if (!acceptShortOfResources_ ||
        now - acceptShortageLastFailure_ >= 2 * std::chrono::milliseconds(kAcceptPauseMilliseconds)) {
        acceptShortOfResources_ = true;
        platform::plainLog("Accepting paused for %d ms: %@", kAcceptPauseMilliseconds,
                           platform::posixError(error, "").description);
    }
    // The connection stays in the backlog and the descriptor stays readable: watched now, it
    // would be reported again at once, and accept would fail again, for as long as the
    // shortage lasts.
    acceptPausedForResources_ = true;
    acceptShortageLastFailure_ = now;
    startTimer(&AsyncSocket::acceptPauseTimer_, kAcceptPauseMilliseconds / 1000.0, &AsyncSocket::endAcceptPause);
    updateAcceptSources();
}

void AsyncSocket::endAcceptPause() {
    stopTimer(acceptPauseTimer_);
    acceptPausedForResources_ = false;
    updateAcceptSources();
}

void AsyncSocket::acceptedSocketClosed() {
    if (acceptedSockets_ > 0) --acceptedSockets_;
    // Its descriptor has just been closed: the one the next accept needs, with no need to
    // wait out the pause. Else a backlog of clients that have gone, each closed a moment
    // after its accept, would be taken a handful at a time per pause, and a client behind
    // them would wait minutes.
    if (acceptPausedForResources_) {
        endAcceptPause();
        return;
    }
    updateAcceptSources();
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
    if (childFD == -1) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) pauseAcceptingForResources(error);
        return false;
    }
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
    // The new socket counts against the accept limit until its descriptor is closed.
    ++acceptedSockets_;
    std::shared_ptr<void> acceptedSlot(nullptr, [listener = weak_from_this(), queue = socketQueue_](void*) {
        queue->async([listener] {
            if (auto self = listener.lock()) self->acceptedSocketClosed();
        });
    });
    updateAcceptSources();

    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    DispatchQueuePtr delegateQueue = delegateQueue_;
    delegateQueue->async([self = shared_from_this(), delegate, delegateQueue, childFD, isIPv4,
                          peerAddress = std::move(peerAddress), acceptedSlot = std::move(acceptedSlot)] {
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
        acceptedSocket->acceptedSlot_ = acceptedSlot;
        acceptedSocket->socketQueue_->async([acceptedSocket, childFD] {
            acceptedSocket->setupReadAndWriteSourcesForNewlyConnectedSocket(childFD);
        });
        if (delegate && delegate->respondsTo(Call::DidAcceptNewSocket)) {
            delegate->didAcceptNewSocket(self, acceptedSocket);
        }
    });
    return true;
}
