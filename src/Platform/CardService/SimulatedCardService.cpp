#include "Platform/CardService/SimulatedCardService.h"

#include <algorithm>

#include "Platform/CardService/ShortApdu.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Format.h"

namespace platform {
namespace {

void later(std::chrono::nanoseconds delay, Task task) {
    auto queue = DispatchQueue::globalConcurrent();
    if (delay.count() > 0) {
        queue->after(delay, std::move(task));
    } else {
        queue->async(std::move(task));
    }
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

Error simulatedError(long code, const char* text) { return Error{kSimulatedCardErrorDomain, code, text, ""}; }

}  // namespace

// One card object of a simulated reader. Holds its reader weakly: a card outliving its
// reader answers with errors.
class SimulatedCard : public SmartCard, public std::enable_shared_from_this<SimulatedCard> {
public:
    explicit SimulatedCard(std::shared_ptr<SimulatedSlot> slot) : slot_(slot), name_(slot->name()) {}

    void beginSession(BeginReply reply) override {
        auto slot = slot_.lock();
        if (!slot) {
            later(std::chrono::nanoseconds(0), [reply] { reply(false, simulatedError(-2, "The reader is gone.")); });
            return;
        }
        SimulatedCardScript script;
        {
            std::lock_guard<std::mutex> lock(slot->mutex_);
            script = slot->script_;
            slot->log_.begins++;
        }
        if (!script.beginAnswers) return;
        auto self = shared_from_this();
        later(script.beginDelay, [self, slot, script, reply] {
            bool confirmed = false;
            if (script.beginSucceeds) {
                std::lock_guard<std::mutex> lock(slot->mutex_);
                if (!self->open_ && slot->state_ == CardSlotState::ValidCard) {
                    self->open_ = true;
                    slot->log_.openSessions++;
                    slot->log_.events.push_back("begin");
                    confirmed = true;
                }
            }
            reply(confirmed, script.beginError);
        });
    }

    void sendIns(uint8_t ins, uint8_t p1, uint8_t p2, std::optional<Bytes> data, std::optional<int> le,
                 SendReply reply) override {
        auto slot = slot_.lock();
        std::optional<Bytes> command = shortApdu(cla(), ins, p1, p2, data, le);
        SimulatedCardScript script;
        bool open = false;
        if (slot) {
            std::lock_guard<std::mutex> lock(slot->mutex_);
            script = slot->script_;
            open = open_;
            if (command) slot->log_.events.push_back("send " + hex(*command));
        }
        if (!script.sendAnswers) return;
        later(script.sendDelay, [slot, script, open, command, reply] {
            if (!slot || !open) {
                reply(std::nullopt, 0, simulatedError(-3, "No session is open on the card."));
            } else if (!command) {
                reply(std::nullopt, 0, simulatedError(-4, "The command does not fit a short APDU."));
            } else if (!script.handler) {
                reply(std::nullopt, 0x9000, std::nullopt);
            } else {
                SimulatedReply r = script.handler(*command);
                reply(r.data, r.sw, r.error);
            }
        });
    }

    void endSession() override {
        auto slot = slot_.lock();
        if (!slot) return;
        std::lock_guard<std::mutex> lock(slot->mutex_);
        if (!open_) return;
        open_ = false;
        slot->log_.openSessions--;
        slot->log_.ends++;
        slot->log_.events.push_back("end");
    }

    std::string describe() const override { return format("<SmartCard %@>", name_); }

private:
    const std::weak_ptr<SimulatedSlot> slot_;
    const std::string name_;
    bool open_ = false;  // guarded by the reader's mutex_
};

CardSlotState SimulatedSlot::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::shared_ptr<SmartCard> SimulatedSlot::makeSmartCard() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.makeCard) return nullptr;
    }
    return std::make_shared<SimulatedCard>(std::static_pointer_cast<SimulatedSlot>(shared_from_this()));
}

void SimulatedSlot::setState(CardSlotState state) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == state) return;
        state_ = state;
    }
    notifyStateChanged();
}

void SimulatedSlot::script(const std::function<void(SimulatedCardScript&)>& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn(script_);
}

SimulatedCardLog SimulatedSlot::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::vector<std::string> SimulatedSlotManager::slotNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& s : slots_) names.push_back(s->name());
    return names;
}

void SimulatedSlotManager::getSlotWithName(const std::string& name, SlotReply reply) {
    std::shared_ptr<SimulatedSlot> found;
    std::chrono::nanoseconds delay;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lookups_++;
        if (lookupSilent_.count(name)) return;
        delay = lookupDelay_;
        if (!lookupMisses_.count(name)) {
            for (const auto& s : slots_) {
                if (s->name() == name) found = s;
            }
        }
    }
    later(delay, [found, reply] { reply(found); });
}

std::shared_ptr<SimulatedSlot> SimulatedSlotManager::addSlot(const std::string& name, CardSlotState state) {
    std::shared_ptr<SimulatedSlot> slot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& s : slots_) {
            if (s->name() == name) return s;
        }
        slot = std::make_shared<SimulatedSlot>(name, state);
        slots_.push_back(slot);
    }
    notifySlotNamesChanged();
    return slot;
}

void SimulatedSlotManager::removeSlot(const std::string& name) {
    std::shared_ptr<SimulatedSlot> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(slots_.begin(), slots_.end(), [&](const auto& s) { return s->name() == name; });
        if (it == slots_.end()) return;
        removed = *it;
        slots_.erase(it);
    }
    notifySlotNamesChanged();
    removed->setState(CardSlotState::Missing);
}

std::shared_ptr<SimulatedSlot> SimulatedSlotManager::slot(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : slots_) {
        if (s->name() == name) return s;
    }
    return nullptr;
}

void SimulatedSlotManager::setLookupDelay(std::chrono::nanoseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    lookupDelay_ = delay;
}

void SimulatedSlotManager::setLookupMisses(std::set<std::string> names) {
    std::lock_guard<std::mutex> lock(mutex_);
    lookupMisses_ = std::move(names);
}

void SimulatedSlotManager::setLookupSilent(std::set<std::string> names) {
    std::lock_guard<std::mutex> lock(mutex_);
    lookupSilent_ = std::move(names);
}

int SimulatedSlotManager::lookups() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookups_;
}

}  // namespace platform
