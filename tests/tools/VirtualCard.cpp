#include "tools/VirtualCard.h"

#include "tools/VirtualReaders.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace testcard {
namespace {

bool readAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeMessage(int fd, const Bytes& payload) {
    Bytes message{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size() & 0xFF)};
    message.insert(message.end(), payload.begin(), payload.end());
    size_t sent = 0;
    while (sent < message.size()) {
        ssize_t n = ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

VirtualCard::VirtualCard(uint16_t port, Bytes atr) : port_(port), atr_(std::move(atr)) {}

VirtualCard::~VirtualCard() { remove(); }

void VirtualCard::setHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

bool VirtualCard::insert(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> control(controlMutex_);
    if (inserted()) return true;
    if (thread_.joinable()) thread_.join();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Into an idle reader only: a card inserted while pcscd still counts the last one as present
    // is never reported.
    for (const auto& reader : {kFirstVirtualReader, kSecondVirtualReader}) {
        if (reader.cardPort == port_ && !waitForIdleReaders({reader}, timeout).empty()) return false;
    }
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fd_ = fd;
            }
            thread_ = std::thread([this, fd] { serve(fd); });
            return true;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void VirtualCard::remove() {
    std::lock_guard<std::mutex> control(controlMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The serving thread closes the descriptor; shutting it down ends its read.
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
}

bool VirtualCard::inserted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

std::vector<Bytes> VirtualCard::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

void VirtualCard::serve(int fd) {
    for (;;) {
        uint8_t header[2];
        if (!readAll(fd, header, 2)) break;
        const size_t size = static_cast<size_t>(header[0]) << 8 | header[1];
        Bytes payload(size);
        if (size > 0 && !readAll(fd, payload.data(), size)) break;
        if (size == 1) {
            // Power off, power on and reset need no answer; the driver asks for the ATR.
            if (payload[0] == 4 && !writeMessage(fd, atr_)) break;
            continue;
        }
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(payload);
            handler = handler_;
        }
        Bytes reply = handler ? handler(payload) : Bytes{0x90, 0x00};
        if (!writeMessage(fd, reply)) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(fd);
    fd_ = -1;
}

}  // namespace testcard
