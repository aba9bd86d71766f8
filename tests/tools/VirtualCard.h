// A virtual smart card for the real-stack tests: it plugs into a reader of the vpcd driver
// (Debian vsmartcard-vpcd, loaded by pcscd) by connecting to the driver over TCP, and
// answers every command APDU through a handler that each test scripts.
//
// The driver's protocol: every message is a 2-byte big-endian length and a payload. A
// 1-byte payload is a control code (0 power off, 1 power on, 2 reset, 4 "send the ATR",
// answered with the ATR as a message); any other payload is a command APDU, answered with
// the reply (data and status word). Closing the connection removes the card.
//
// The card runs a thread of its own while inserted; the handler runs there. All methods may
// be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/VirtualReaders.h"

namespace testcard {

using Bytes = std::vector<uint8_t>;

class VirtualCard {
public:
    // The reply to one command APDU: data followed by SW1 SW2.
    using Handler = std::function<Bytes(const Bytes& command)>;

    static constexpr uint16_t kFirstReaderPort = kFirstVirtualReader.cardPort;
    static constexpr uint16_t kSecondReaderPort = kSecondVirtualReader.cardPort;

    explicit VirtualCard(uint16_t port = kFirstReaderPort, Bytes atr = {0x3B, 0x80, 0x80, 0x01, 0x01});
    ~VirtualCard();
    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;

    // Without a handler every command is answered 90 00.
    void setHandler(Handler handler);

    // Connects to the driver (the card is inserted), once the reader is idle (see
    // waitForIdleReaders). False when the reader does not become idle, or the driver does not
    // accept, within the time-out.
    bool insert(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Closes the connection (the card is removed). Does nothing when not inserted.
    void remove();
    bool inserted() const;

    // The command APDUs received so far, in order.
    std::vector<Bytes> commands() const;

private:
    void serve(int fd);

    const uint16_t port_;
    const Bytes atr_;
    mutable std::mutex mutex_;
    Handler handler_;                // guarded by mutex_
    std::vector<Bytes> commands_;    // guarded by mutex_
    int fd_ = -1;                    // guarded by mutex_
    std::thread thread_;             // touched by insert/remove only (under controlMutex_)
    std::mutex controlMutex_;
};

}  // namespace testcard
