// The two readers of the vpcd driver as pcscd offers them to the real-stack card tests, and the
// wait that gives every test a known state before it inserts a card.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testcard {

inline constexpr const char* kFirstReader = "Virtual PCD 00 00";
inline constexpr const char* kSecondReader = "Virtual PCD 00 01";

struct VirtualReader {
    const char* name;
    uint16_t cardPort;  // where the driver waits for the reader's card
};
inline constexpr VirtualReader kFirstVirtualReader{kFirstReader, 35963};
inline constexpr VirtualReader kSecondVirtualReader{kSecondReader, 35964};

// Waits until each reader is idle: nothing is connected to its card port (the driver has let go
// of any card that was there), pcscd reports it empty, and pcscd has had no event on it for
// longer than its reader thread takes to look at the reader again.
//
// The last condition matters after a process that held a session on a card dies just after the
// card was removed: pcscd's clean-up then marks the reader empty before its reader thread has
// seen the removal, and a card inserted before that thread looks again is taken for the old one
// and never reported. Returns an empty text once idle, else what was still not idle at the end
// of the time-out.
std::string waitForIdleReaders(const std::vector<VirtualReader>& readers,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace testcard
