// The card service's reader manager: the observable list of reader names and the lookup of
// a reader object by name.
//
// defaultManager() is the card service of this process: the PC/SC backend unless a test
// installed another one (a simulated card service) with setDefaultManager. It is nullptr
// only when the card service cannot be used at all; a PC/SC service that is down makes an
// empty reader list, not a missing manager.
//
// Every call may be made from any thread. slotNames observers see the current list at once
// on the registering thread and every later change on a thread of the card service.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/CardService/CardSlot.h"
#include "Platform/CardService/Observation.h"

namespace platform {

class CardSlotManager {
public:
    using SlotReply = std::function<void(std::shared_ptr<CardSlot> slot)>;

    // The installed card service; on first use (nothing installed) the PC/SC backend.
    static std::shared_ptr<CardSlotManager> defaultManager();
    // Installs the card service that defaultManager() returns from now on; nullptr stands
    // for "no card service". For tests; call before the card manager is first used.
    static void setDefaultManager(std::shared_ptr<CardSlotManager> manager);

    virtual ~CardSlotManager() = default;

    // The names of the readers listed now, in the card service's order.
    virtual std::vector<std::string> slotNames() const = 0;

    // Observes "slotNames" (see above). The handler reads slotNames() itself.
    std::shared_ptr<Observation> observeSlotNames(std::function<void()> handler) {
        return slotNameObservers_->add(std::move(handler));
    }

    // Looks the reader up: the reply gets its reader object, or nullptr when no reader of
    // that name is listed. The reply runs exactly once, on a thread of the card service,
    // never from inside this call.
    virtual void getSlotWithName(const std::string& name, SlotReply reply) = 0;

protected:
    // Backends call this after every change of the list of names.
    void notifySlotNamesChanged() { slotNameObservers_->notify(); }

private:
    std::shared_ptr<ObserverRegistry> slotNameObservers_ = ObserverRegistry::create();
};

}  // namespace platform
