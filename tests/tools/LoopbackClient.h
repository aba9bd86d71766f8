// Plain blocking loopback clients for the socket tests and benchmarks, and a free port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testtools {

// The loopback address of the family (AF_INET or AF_INET6) at port.
struct LoopbackAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

inline LoopbackAddress loopbackAddress(int family, uint16_t port) {
    LoopbackAddress address;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&address.storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address.storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = in6addr_loopback;
        address.length = sizeof *a;
    }
    return address;
}

// A blocking client connected to the loopback address of the family (no Nagle delay); -1 on
// failure.
inline int connectClient(uint16_t port, int family = AF_INET) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const LoopbackAddress address = loopbackAddress(family, port);
    if (::connect(fd, address.get(), address.length) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A loopback port nobody listens on: taken from the system and given back.
inline uint16_t freePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(probe);
    return ntohs(a.sin_port);
}

}  // namespace testtools
