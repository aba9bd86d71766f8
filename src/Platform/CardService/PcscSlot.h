// A reader of the PC/SC backend. Its state is set by the reader manager's monitor thread,
// which also delivers the state observations.
#pragma once

#include <PCSC/winscard.h>

#include <mutex>
#include <string>

#include "Platform/CardService/CardSlot.h"

namespace platform {

class PcscSlot : public CardSlot {
public:
    PcscSlot(std::string name, CardSlotState state) : name_(std::move(name)), state_(state) {}

    // The reader state that a PC/SC event state (and the length of the card's ATR) stands for.
    static CardSlotState stateFromReaderState(DWORD eventState, DWORD atrLength);

    std::string name() const override { return name_; }
    CardSlotState state() const override;
    // A card object when the reader holds a card that answered; nullptr otherwise.
    std::shared_ptr<SmartCard> makeSmartCard() override;

    // Monitor thread only: sets the state and tells the observers when it changed.
    void update(CardSlotState state);

private:
    const std::string name_;
    mutable std::mutex mutex_;
    CardSlotState state_;  // guarded by mutex_
};

}  // namespace platform
