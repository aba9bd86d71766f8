#include "Platform/CardService/PcscSlot.h"

#include <PCSC/pcsclite.h>

#include "Platform/CardService/PcscSmartCard.h"

namespace platform {

CardSlotState PcscSlot::stateFromReaderState(DWORD eventState, DWORD atrLength) {
    if (eventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE | SCARD_STATE_UNAVAILABLE)) return CardSlotState::Missing;
    if (eventState & SCARD_STATE_EMPTY) return CardSlotState::Empty;
    if (eventState & SCARD_STATE_PRESENT) {
        if (eventState & SCARD_STATE_MUTE) return CardSlotState::MuteCard;
        // A card whose answer to reset has not been read yet is still being powered.
        return atrLength > 0 ? CardSlotState::ValidCard : CardSlotState::Probing;
    }
    return CardSlotState::Missing;
}

CardSlotState PcscSlot::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::shared_ptr<SmartCard> PcscSlot::makeSmartCard() {
    const CardSlotState s = state();
    if (s == CardSlotState::Missing || s == CardSlotState::Empty) return nullptr;
    return std::make_shared<PcscSmartCard>(name_);
}

void PcscSlot::update(CardSlotState state) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == state) return;
        state_ = state;
    }
    notifyStateChanged();
}

}  // namespace platform
