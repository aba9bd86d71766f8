#include "SmartCard/SmartCardManager.h"

#include <cmath>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/PlainLog.h"
#include "SmartCard/CardUtil.h"

namespace {

using platform::CardSlot;
using platform::CardSlotState;
using platform::SmartCard;

std::mutex gSharedMutex;
std::shared_ptr<SmartCardManager> gShared;  // guarded by gSharedMutex

// Far enough to mean "never" and short enough not to overflow a clock.
constexpr double kLongestIdleSeconds = 1e9;

bool sameId(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    // A nil id on either side never matches: a request without one never reuses a session.
    return a && b && *a == *b;
}

// Observations arrive on the card service's own thread. The manager must never be destroyed
// there: it owns the card service, whose destructor joins that very thread. So the reference
// an observation took is let go on another thread.
void releaseElsewhere(std::shared_ptr<SmartCardManager>&& self) {
    platform::DispatchQueue::globalConcurrent()->async([held = std::move(self)]() mutable { held.reset(); });
}

int64_t mapped(CardSlotState state) { return static_cast<int64_t>(CardUtil::mapCardStatus(static_cast<int64_t>(state))); }

}  // namespace

std::shared_ptr<SmartCardManager> SmartCardManager::sharedManager() {
    std::lock_guard<std::mutex> lock(gSharedMutex);
    if (!gShared) gShared = create(platform::CardSlotManager::defaultManager());
    return gShared;
}

void SmartCardManager::setSharedManager(std::shared_ptr<SmartCardManager> manager) {
    std::lock_guard<std::mutex> lock(gSharedMutex);
    gShared = std::move(manager);
}

std::shared_ptr<SmartCardManager> SmartCardManager::create(std::shared_ptr<platform::CardSlotManager> manager) {
    return create(std::move(manager), Waits{});
}

std::shared_ptr<SmartCardManager> SmartCardManager::create(std::shared_ptr<platform::CardSlotManager> manager, Waits waits) {
    auto self = std::make_shared<SmartCardManager>(Passkey{}, std::move(manager), waits);
    self->start();
    return self;
}

SmartCardManager::SmartCardManager(Passkey, std::shared_ptr<platform::CardSlotManager> manager, Waits waits)
    : manager_(std::move(manager)), waits_(waits), idleQueue_(platform::DispatchQueue::createSerial("pellix.card.idle")) {}

SmartCardManager::~SmartCardManager() {
    std::shared_ptr<platform::DispatchSource> timer;
    std::shared_ptr<platform::Observation> names;
    std::vector<ObservedSlot> slots;
    std::vector<std::shared_ptr<CardSessionInfo>> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timer = std::move(idleTimer_);
        names = std::move(slotNamesObservation_);
        slots = std::move(slots_);
        sessions = std::move(cardSessions_);
    }
    if (timer) timer->cancel();
    if (names) names->cancel();
    for (const ObservedSlot& s : slots) {
        if (s.observation) s.observation->cancel();
    }
    // No card stays held by a manager that is gone.
    endSessions(std::move(sessions));
}

// ---- Readers ----

void SmartCardManager::start() {
    if (!manager_) {
        platform::plainLog("Card manager is null");
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = 201;
        return;
    }
    std::weak_ptr<SmartCardManager> weak = weak_from_this();
    // The first delivery runs the whole first scan here, before the registration returns.
    auto observation = manager_->observeSlotNames([weak] {
        if (auto self = weak.lock()) {
            self->slotNamesChanged();
            releaseElsewhere(std::move(self));
        }
    });
    std::lock_guard<std::mutex> lock(mutex_);
    slotNamesObservation_ = std::move(observation);
}

void SmartCardManager::slotNamesChanged() {
    std::lock_guard<std::mutex> scan(scanMutex_);
    std::vector<ObservedSlot> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old.swap(slots_);
    }
    for (const ObservedSlot& s : old) {
        // An entry without a token is still being registered by a lookup of an older scan;
        // that lookup sees the newer scan and drops its own observation.
        if (s.observation && !s.observation->cancel()) {
            platform::plainLog("Error! %@",
                               platform::format("Cannot remove an observer for the key path \"state\" from %@ "
                                                "because it is not registered as an observer.",
                                                s.slot->describe()));
        }
    }
    updateSlots();
}

void SmartCardManager::updateSlots() {
    const std::vector<std::string> names = manager_->slotNames();
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slotNames_ = names;
        slotModels_.emplace();
        slots_.clear();
        generation = ++scanGeneration_;
    }
    closeCardSessions();
    if (names.empty()) {
        platform::plainLog("No slot available.");
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = 201;
        return;
    }
    std::weak_ptr<SmartCardManager> weak = weak_from_this();
    for (const std::string& name : names) {
        platform::plainLog("SmartCard reader found: %@", name);
        auto semaphore = std::make_shared<platform::Semaphore>(0);
        manager_->getSlotWithName(name, [weak, generation, name, semaphore](std::shared_ptr<CardSlot> slot) {
            if (auto self = weak.lock()) self->slotFound(generation, name, std::move(slot));
            semaphore->signal();
        });
        semaphore->wait(waits_.slotLookup);
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = 0;
    }
}

void SmartCardManager::slotFound(uint64_t generation, const std::string& name, std::shared_ptr<CardSlot> slot) {
    if (!slot) {
        platform::plainLog("Did not find slot with name: %@", name);
        return;
    }
    auto model = std::make_shared<SCSlotModel>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A lookup that answers after a newer scan began belongs to a list that is gone.
        if (generation != scanGeneration_) return;
        slotModels_->push_back(model);
        slots_.push_back({slot, nullptr});
    }
    std::weak_ptr<SmartCardManager> weak = weak_from_this();
    // The first delivery runs at once: the entry has no reader object yet, so only the
    // status codes and the sessions are affected by it.
    std::shared_ptr<platform::Observation> observation = slot->observeState([weak](const std::shared_ptr<CardSlot>& s) {
        if (auto self = weak.lock()) {
            self->slotStateChanged(s);
            releaseElsewhere(std::move(self));
        }
    });
    const CardSlotState state = slot->state();
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != scanGeneration_) return;  // the observation is dropped with its token
    for (ObservedSlot& s : slots_) {
        if (s.slot == slot && !s.observation) {
            s.observation = std::move(observation);
            break;
        }
    }
    model->setSuffixedName(name);
    model->setSlot(slot);
    model->setCardStatus(mapped(state));
}

void SmartCardManager::slotStateChanged(const std::shared_ptr<CardSlot>& slot) {
    const CardSlotState state = slot->state();
    const bool valid = state == CardSlotState::ValidCard;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (slotModels_) {
            for (const auto& model : *slotModels_) {
                if (model->slot() == slot) model->setCardStatus(mapped(state));
            }
        }
        if (valid) {
            errorCode_ = 0;
            errorCodeNative_ = 0;
        } else {
            errorCodeNative_ = static_cast<int64_t>(state);
            errorCode_ = mapped(state);
        }
    }
    // A card that went away, or stopped answering, on any reader ends every session.
    if (!valid) closeCardSessions();
}

std::optional<std::vector<std::shared_ptr<SCSlotModel>>> SmartCardManager::slotModels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!slotModels_) return std::nullopt;
    std::vector<std::shared_ptr<SCSlotModel>> copies;
    copies.reserve(slotModels_->size());
    for (const auto& model : *slotModels_) copies.push_back(std::make_shared<SCSlotModel>(*model));
    return copies;
}

std::vector<std::string> SmartCardManager::slotNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slotNames_;
}

std::shared_ptr<CardSlot> SmartCardManager::slotWithName(const std::string& name) {
    if (!manager_) {
        platform::plainLog("Card manager is null");
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = 201;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!slotModels_) return nullptr;
    for (const auto& model : *slotModels_) {
        if (model->suffixedName() && *model->suffixedName() == name) return model->slot();
    }
    return nullptr;
}

int64_t SmartCardManager::errorCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorCode_;
}

int64_t SmartCardManager::errorCodeNative() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorCodeNative_;
}

void SmartCardManager::removeObservers() {
    std::vector<std::shared_ptr<platform::Observation>> observations;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (ObservedSlot& s : slots_) observations.push_back(std::move(s.observation));
    }
    for (const auto& o : observations) {
        if (!o || !o->cancel()) platform::plainLog("%@", "Cannot remove an observer for the key path \"state\" because it is not registered as an observer.");
    }
}

std::string SmartCardManager::description() const {
    std::string slots = "(null)";
    int64_t code;
    int64_t native;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        code = errorCode_;
        native = errorCodeNative_;
        if (slotModels_) {
            slots = "(";
            for (size_t i = 0; i < slotModels_->size(); ++i) {
                slots += (i ? ",\n    " : "\n    ") + (*slotModels_)[i]->description();
            }
            slots += slotModels_->empty() ? ")" : "\n)";
        }
    }
    return platform::format("ErrorCode: %li, ErrorCodeNative: %li, Slots: %@", static_cast<long>(code),
                            static_cast<long>(native), slots);
}

// ---- Sessions and APDUs ----

double SmartCardManager::idleTimeSeconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return idleTimeSeconds_;
}

void SmartCardManager::setIdleTimeSeconds(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    idleTimeSeconds_ = seconds;
}

std::optional<ResponseAPDU> SmartCardManager::sendApduString(const std::optional<std::string>& apdu,
                                                             const std::string& slotName,
                                                             const std::optional<std::string>& sessionId) {
    return sendApduCommand(CommandAPDU(apdu), slotName, sessionId);
}

std::optional<ResponseAPDU> SmartCardManager::sendApduCommand(const CommandAPDU& command, const std::string& slotName,
                                                              const std::optional<std::string>& sessionId) {
    std::lock_guard<std::mutex> request(requestMutex_);
    std::shared_ptr<SmartCard> card = cardForSlot(slotName, sessionId);
    if (!card) {
        platform::plainLog("Could not access card in slot %@", slotName);
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = 200;
        return std::nullopt;
    }

    // Shared with the reply, which may come after the wait: then it is dropped.
    struct Exchange {
        std::mutex mutex;
        bool abandoned = false;
        long errorCode = 0;
        std::optional<ResponseAPDU> reply;
    };
    auto exchange = std::make_shared<Exchange>();
    auto semaphore = std::make_shared<platform::Semaphore>(0);
    const bool expiredAtOnce = trasmitCommand(
        command, card, [exchange, semaphore](std::optional<platform::Bytes> data, uint16_t sw, std::optional<platform::Error> error) {
            {
                std::lock_guard<std::mutex> lock(exchange->mutex);
                if (exchange->abandoned) return;
                if (error) exchange->errorCode = error->code;
                exchange->reply.emplace(std::move(data), sw);
            }
            semaphore->signal();
        });
    semaphore->wait(waits_.exchange);
    long nativeCode;
    std::optional<ResponseAPDU> reply;
    {
        std::lock_guard<std::mutex> lock(exchange->mutex);
        exchange->abandoned = true;
        nativeCode = exchange->errorCode;
        reply = std::move(exchange->reply);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = 0;
        errorCodeNative_ = nativeCode;
    }
    if (expiredAtOnce) closeCardSessions();
    return reply;
}

std::shared_ptr<SmartCard> SmartCardManager::cardForSlot(const std::string& slotName,
                                                         const std::optional<std::string>& sessionId) {
    std::shared_ptr<CardSessionInfo> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = cardSessions_.begin(); it != cardSessions_.end(); ++it) {
            if ((*it)->slotName() != slotName) continue;
            if (sameId((*it)->sessionId(), sessionId) && (*it)->opened() && (*it)->card()) return (*it)->card();
            // The reader's session belongs to another id (or to none): it ends first.
            replaced = *it;
            cardSessions_.erase(it);
            break;
        }
    }
    if (replaced) replaced->card()->endSession();
    return cardWithNewSession(sessionId, slotName);
}

std::shared_ptr<SmartCard> SmartCardManager::cardWithNewSession(const std::optional<std::string>& sessionId,
                                                                const std::string& slotName) {
    std::shared_ptr<SmartCard> card = beginSessionForSlot(slotName);
    std::lock_guard<std::mutex> lock(mutex_);
    if (card) {
        cardSessions_.push_back(std::make_shared<CardSessionInfo>(card, slotName, sessionId, true));
        return card;
    }
    if (errorCode_ == 0) errorCode_ = 301;
    return nullptr;
}

std::shared_ptr<SmartCard> SmartCardManager::beginSessionForSlot(const std::string& slotName) {
    std::shared_ptr<CardSlot> slot = slotWithName(slotName);
    if (!slot) {
        platform::plainLog("Could not create slot with name %@", slotName);
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = 201;
        return nullptr;
    }
    const CardSlotState state = slot->state();
    if (state != CardSlotState::ValidCard) {
        platform::plainLog("Slot '%@' do not have a valid card ", slotName);
        std::lock_guard<std::mutex> lock(mutex_);
        errorCode_ = mapped(state);
        return nullptr;
    }
    std::shared_ptr<SmartCard> card = slot->makeSmartCard();
    return card && beginSession(card) ? card : nullptr;
}

bool SmartCardManager::beginSession(const std::shared_ptr<SmartCard>& card) {
    struct Begin {
        std::mutex mutex;
        bool answered = false;
        bool success = false;
        bool abandoned = false;
    };
    auto begin = std::make_shared<Begin>();
    auto semaphore = std::make_shared<platform::Semaphore>(0);
    card->beginSession([begin, semaphore, card](bool success, std::optional<platform::Error> error) {
        if (!success) platform::plainLog("Could not begin session.");
        if (error) platform::plainLog("Could not begin session with error %@", error->describe());
        bool orphaned;
        {
            std::lock_guard<std::mutex> lock(begin->mutex);
            begin->answered = true;
            begin->success = success;
            orphaned = begin->abandoned && success;
        }
        // Confirmed after the wait: nobody records this session, so it must not hold the card.
        if (orphaned) card->endSession();
        semaphore->signal();
    });
    semaphore->wait(waits_.sessionBegin);
    std::lock_guard<std::mutex> lock(begin->mutex);
    if (!begin->answered) {
        begin->abandoned = true;
        return false;
    }
    return begin->success;
}

bool SmartCardManager::trasmitCommand(const CommandAPDU& command, const std::shared_ptr<SmartCard>& card,
                                      SmartCard::SendReply reply) {
    const bool expiredAtOnce = resetIdleTimer();
    card->setCla(command.cla());
    std::optional<int> le;
    if (command.le()) le = *command.le();
    card->sendIns(command.ins(), command.p1(), command.p2(), command.commandData(), le,
                  [reply = std::move(reply)](std::optional<platform::Bytes> data, uint16_t sw, std::optional<platform::Error> error) {
                      const std::optional<platform::Error> logged = error;
                      reply(std::move(data), sw, std::move(error));
                      if (logged) platform::plainLog("Error: %@", logged->describe());
                  });
    return expiredAtOnce;
}

bool SmartCardManager::resetIdleTimer() {
    std::shared_ptr<platform::DispatchSource> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        double seconds = idleTimeSeconds_;
        if (!(seconds > 0)) {
            // The deadline has passed as soon as it is armed; the caller ends the sessions
            // once its exchange is over, so no exchange of its own is cut short.
            dropped = std::move(idleTimer_);
        } else {
            seconds = std::min(seconds, kLongestIdleSeconds);
            const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
            idleDeadline_ = std::chrono::steady_clock::now() + delay;
            if (!idleTimer_) {
                idleTimer_ = platform::DispatchSource::makeTimer(idleQueue_);
                std::weak_ptr<SmartCardManager> weak = weak_from_this();
                idleTimer_->setEventHandler([weak] {
                    if (auto self = weak.lock()) self->idleTimerExceeded();
                });
                idleTimer_->setTimer(delay, platform::DispatchSource::kForever, std::chrono::nanoseconds(0));
                idleTimer_->resume();
            } else {
                idleTimer_->setTimer(delay, platform::DispatchSource::kForever, std::chrono::nanoseconds(0));
            }
            return false;
        }
    }
    if (dropped) dropped->cancel();
    return true;
}

void SmartCardManager::idleTimerExceeded() {
    // An exchange in progress finishes first. It moved the deadline when it began, so unless
    // it took longer than the idle time-out itself, the deadline is still ahead when it is done.
    std::lock_guard<std::mutex> request(requestMutex_);
    std::shared_ptr<platform::DispatchSource> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // An exchange that moved the deadline after the timer fired keeps the sessions.
        if (!idleTimer_ || std::chrono::steady_clock::now() < idleDeadline_) return;
        timer = std::move(idleTimer_);
    }
    timer->cancel();
    closeCardSessions();
}

void SmartCardManager::closeCardSession(const std::optional<std::string>& sessionId) {
    if (!sessionId) return;
    std::lock_guard<std::mutex> request(requestMutex_);
    std::vector<std::shared_ptr<CardSessionInfo>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = cardSessions_.begin(); it != cardSessions_.end();) {
            if (sameId((*it)->sessionId(), sessionId)) {
                ended.push_back(*it);
                it = cardSessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    endSessions(std::move(ended));
}

void SmartCardManager::closeCardSessions() {
    std::vector<std::shared_ptr<CardSessionInfo>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended.swap(cardSessions_);
    }
    endSessions(std::move(ended));
}

void SmartCardManager::endSessions(std::vector<std::shared_ptr<CardSessionInfo>> sessions) {
    for (const auto& s : sessions) {
        if (s->card()) s->card()->endSession();
    }
}

std::vector<std::shared_ptr<CardSessionInfo>> SmartCardManager::cardSessions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cardSessions_;
}
