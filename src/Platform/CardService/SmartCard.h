// A card in a reader, as the card service hands it out: a session on the card and the
// exchange of short command APDUs inside it.
//
// A card object is made by its reader (CardSlot::makeSmartCard) and holds nothing of the
// card until beginSession succeeds; from then until endSession the card is held by this
// program alone. Every call may be made from any thread. beginSession and sendIns either
// call their reply exactly once, on a thread of the card service and never from inside the
// call itself, or (the card service being gone) not at all; callers wait with a time-out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Error.h"

namespace platform {

using Bytes = std::vector<uint8_t>;

class SmartCard {
public:
    // success, and the error behind a failure (may be absent even when success is false).
    using BeginReply = std::function<void(bool success, std::optional<Error> error)>;
    // The reply data without the status word (absent when there is none), the status word
    // SW1 SW2 (SW1 high), and the error of a failed exchange.
    using SendReply = std::function<void(std::optional<Bytes> data, uint16_t sw, std::optional<Error> error)>;

    virtual ~SmartCard() = default;

    // Begins a session: takes the card for this program until endSession.
    virtual void beginSession(BeginReply reply) = 0;

    // The class byte put in front of every command that sendIns sends.
    uint8_t cla() const { return cla_.load(); }
    void setCla(uint8_t cla) { cla_.store(cla); }

    // Sends one short command: CLA (cla()), INS, P1, P2, then Lc and the data when data is
    // given and not empty, then Le when le is given (0 to 256; 256 and 0 are sent as 00).
    // A status 61xx is followed by GET RESPONSE and 6Cxx by the same command with Le xx, as
    // the platform's card object does, so the reply carries the whole data.
    virtual void sendIns(uint8_t ins, uint8_t p1, uint8_t p2, std::optional<Bytes> data,
                         std::optional<int> le, SendReply reply) = 0;

    // Ends the session and lets go of the card. Does nothing when no session is open.
    // Returns once the card is released.
    virtual void endSession() = 0;

    // "<SmartCard reader name>", the text a "%@" of the card shows.
    virtual std::string describe() const = 0;

private:
    std::atomic<uint8_t> cla_{0};
};

}  // namespace platform
