// One open card session of the card manager: the reader it was begun for (as the caller
// named it), the client session id that owns it (nil for a request without one) and the
// card object whose session is open.
//
// Immutable once made; may be shared between threads.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Platform/CardService/SmartCard.h"

class CardSessionInfo {
public:
    CardSessionInfo(std::shared_ptr<platform::SmartCard> card, std::string slotName,
                    std::optional<std::string> sessionId, bool opened)
        : opened_(opened), slotName_(std::move(slotName)), sessionId_(std::move(sessionId)), card_(std::move(card)) {}

    bool opened() const { return opened_; }
    const std::string& slotName() const { return slotName_; }
    const std::optional<std::string>& sessionId() const { return sessionId_; }
    const std::shared_ptr<platform::SmartCard>& card() const { return card_; }

    // "@CardSessionInfo [slot: %@, sessionId: %@, opened: %@]" with "YES" or "NO".
    std::string description() const;

private:
    const bool opened_;
    const std::string slotName_;
    const std::optional<std::string> sessionId_;
    const std::shared_ptr<platform::SmartCard> card_;
};
