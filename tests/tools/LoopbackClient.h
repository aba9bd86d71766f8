// Plain blocking loopback clients for the socket tests and benchmarks, and a free port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testtools {

// A blocking client connected to the loopback address of the family (no Nagle delay); -1 on
// failure.
inline int connectClient(uint16_t port, int family = AF_INET) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
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
