#include "tools/VirtualReaders.h"

#include <PCSC/winscard.h>

#include "tools/TcpTable.h"

#include <cstdio>
#include <thread>

namespace testcard {
namespace {

// pcscd looks at each reader every 400 ms; the driver's presence check adds a little to that.
constexpr std::chrono::milliseconds kReaderThreadRound{800};

// Whether any socket other than the listening one has the port at either end: a card still
// connected, a removed card the driver has not closed yet, or a connection still being set up.
bool portInUse(uint16_t port) {
    constexpr const char* kListen = "0A";
    constexpr const char* kTimeWait = "06";
    constexpr const char* kClose = "07";
    return testtools::anyTcpSocket([port](const testtools::TcpSocketEntry& socket) {
        if (socket.state == kListen || socket.state == kTimeWait || socket.state == kClose) return false;
        return socket.localPort == port || socket.remotePort == port;
    });
}

}  // namespace

std::string waitForIdleReaders(const std::vector<VirtualReader>& readers, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto timeLeft = [&] { return std::chrono::steady_clock::now() < deadline; };
    for (const auto& reader : readers) {
        while (portInUse(reader.cardPort)) {
            if (!timeLeft()) return std::string("a card is still connected to ") + reader.name;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return "pcscd is not reachable";
    }
    std::vector<SCARD_READERSTATE> states(readers.size());
    for (size_t i = 0; i < readers.size(); ++i) {
        states[i].szReader = readers[i].name;
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    std::string problem = "pcscd did not answer";
    while (timeLeft()) {
        LONG rv = SCardGetStatusChange(context, 0, states.data(), static_cast<DWORD>(states.size()));
        if (rv != SCARD_S_SUCCESS) break;
        problem.clear();
        for (auto& state : states) {
            state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            if (!(state.dwEventState & SCARD_STATE_EMPTY)) problem = std::string(state.szReader) + " still holds a card";
        }
        if (!problem.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        // Empty: settled once a whole round of pcscd's reader thread passes without an event.
        rv = SCardGetStatusChange(context, static_cast<DWORD>(kReaderThreadRound.count()), states.data(),
                                  static_cast<DWORD>(states.size()));
        if (rv == SCARD_E_TIMEOUT) break;
        problem = "pcscd still reports events on the readers";
        if (rv != SCARD_S_SUCCESS) break;
    }
    SCardReleaseContext(context);
    return problem;
}

}  // namespace testcard
