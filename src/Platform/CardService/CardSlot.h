// A card reader (slot) of the card service: its name, the observable state of the card in
// it, and the card object through which a session is begun.
//
// Reader objects are made by the reader manager (CardSlotManager::getSlotWithName) and
// stay the same object while the reader is listed. state() and observeState() may be
// called from any thread; observers see every change on a thread of the card service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Platform/CardService/Observation.h"
#include "Platform/CardService/SmartCard.h"

namespace platform {

// The reader states of the card service; the raw values are what callers report.
enum class CardSlotState : int64_t {
    Missing = 0,    // the reader is gone
    Empty = 1,      // no card in the reader
    Probing = 2,    // a card was inserted and is being powered
    MuteCard = 3,   // a card that does not answer
    ValidCard = 4,  // a card ready for sessions
};

class CardSlot : public std::enable_shared_from_this<CardSlot> {
public:
    using StateHandler = std::function<void(const std::shared_ptr<CardSlot>& slot)>;

    virtual ~CardSlot() = default;

    virtual std::string name() const = 0;
    virtual CardSlotState state() const = 0;

    // A card object for the card in the reader, or nullptr when there is no card to talk to.
    virtual std::shared_ptr<SmartCard> makeSmartCard() = 0;

    // Observes "state": the handler runs once at once on the calling thread, then after
    // every change of state(), on a thread of the card service, with this reader.
    std::shared_ptr<Observation> observeState(StateHandler handler);

    // "<CardSlot name: state>", the text a "%@" of the reader shows.
    std::string describe() const;

protected:
    // Backends call this after every change of the state.
    void notifyStateChanged() { stateObservers_->notify(); }

private:
    std::shared_ptr<ObserverRegistry> stateObservers_ = ObserverRegistry::create();
};

}  // namespace platform
