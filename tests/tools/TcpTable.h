// The machine's TCP sockets as the kernel lists them (/proc/net/tcp and /proc/net/tcp6), for
// tests that check which connections a piece of code left behind.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace testtools {

// One socket of the tables: its ports and its state as the kernel writes it in hexadecimal
// ("01" established, "02" SYN-SENT, "06" TIME-WAIT, "07" closed, "0A" listening).
struct TcpSocketEntry {
    uint16_t localPort = 0;
    uint16_t remotePort = 0;
    std::string state;
};

// Calls visit(entry) for every IPv4 and IPv6 socket until it returns true; returns whether
// it did.
template <typename Visit>
bool anyTcpSocket(Visit visit) {
    const auto portOf = [](const std::string& address) -> long {
        const auto colon = address.rfind(':');
        return colon == std::string::npos ? -1 : std::stol(address.substr(colon + 1), nullptr, 16);
    };
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote;
            TcpSocketEntry entry;
            if (!(fields >> slot >> local >> remote >> entry.state)) continue;
            const long localPort = portOf(local);
            const long remotePort = portOf(remote);
            if (localPort < 0 || remotePort < 0) continue;
            entry.localPort = static_cast<uint16_t>(localPort);
            entry.remotePort = static_cast<uint16_t>(remotePort);
            if (visit(entry)) return true;
        }
    }
    return false;
}

}  // namespace testtools
