#include "AsyncSocket/AsyncSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>

#include "AsyncSocket/detail/AsyncSocketInternal.h"


// ---------------------------------------------------------------------------------------------
// Utilities and queue-bound accessors

namespace {

// A constant terminator, made once and never destroyed: sockets on the pool's threads may
// still read with it while the process runs its exit handlers.
template <uint8_t... Bytes>
const ByteBuffer& constantBytes() {
    static const ByteBuffer& bytes = *new ByteBuffer{Bytes...};
    return bytes;
}

}  // namespace

const ByteBuffer& AsyncSocket::CRLFData() { return constantBytes<0x0D, 0x0A>(); }
const ByteBuffer& AsyncSocket::CRData() { return constantBytes<0x0D>(); }
const ByteBuffer& AsyncSocket::LFData() { return constantBytes<0x0A>(); }
const ByteBuffer& AsyncSocket::ZeroData() { return constantBytes<0x00>(); }

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
