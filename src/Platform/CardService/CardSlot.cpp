#include "Platform/CardService/CardSlot.h"

#include "Platform/Format.h"

namespace platform {

std::shared_ptr<Observation> CardSlot::observeState(StateHandler handler) {
    // The handler gets the reader itself, as the platform hands the observed object; a weak
    // reference keeps the registry from holding its own reader alive.
    std::weak_ptr<CardSlot> weak = weak_from_this();
    return stateObservers_->add([weak, handler = std::move(handler)] {
        if (std::shared_ptr<CardSlot> self = weak.lock()) handler(self);
    });
}

std::string CardSlot::describe() const {
    return format("<CardSlot %@: %ld>", name(), static_cast<long>(state()));
}

}  // namespace platform
