// A simulated card service in this process, for tests: scripted readers and cards whose
// states change on demand, replies on other threads, injectable delays and errors.
//
// Install it with CardSlotManager::setDefaultManager before the card manager is first used,
// or hand it to a card manager made for one test. Every call may be made from any thread.
//
// Threads: getSlotWithName, beginSession and sendIns reply on the global concurrent queue
// (after the configured delay), never from inside the call. A state or list change made by
// a test (setState, addSlot, removeSlot) is delivered to observers on the test's thread,
// which plays the card service's thread; the change is complete when the call returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/CardService/CardSlot.h"
#include "Platform/CardService/CardSlotManager.h"
#include "Platform/CardService/SmartCard.h"

namespace platform {

inline constexpr const char* kSimulatedCardErrorDomain = "SimulatedCardErrorDomain";

// What a simulated card answers to one command.
struct SimulatedReply {
    std::optional<Bytes> data;
    uint16_t sw = 0x9000;
    std::optional<Error> error;
};

// How the cards of one simulated reader behave. Changed through SimulatedSlot::script().
struct SimulatedCardScript {
    using Handler = std::function<SimulatedReply(const Bytes& command)>;

    // The answer to every command (as sent, CLA first); nullptr answers 9000 without data.
    Handler handler;
    bool makeCard = true;                        // false: makeSmartCard gives nullptr
    bool beginSucceeds = true;                   // the success flag of beginSession
    std::optional<Error> beginError;             // the error beginSession reports
    bool beginAnswers = true;                    // false: beginSession never replies
    bool sendAnswers = true;                     // false: sendIns never replies
    std::chrono::nanoseconds beginDelay{0};      // before beginSession replies
    std::chrono::nanoseconds sendDelay{0};       // before sendIns replies
};

// The counts and the history of one simulated reader's cards, for tests to check.
struct SimulatedCardLog {
    int begins = 0;           // beginSession calls
    int ends = 0;             // sessions ended by endSession
    int openSessions = 0;     // sessions begun (confirmed) and not ended
    std::vector<std::string> events;  // "begin", "end", "send <hex of the command>"
};

class SimulatedSlot : public CardSlot {
public:
    SimulatedSlot(std::string name, CardSlotState state) : name_(std::move(name)), state_(state) {}

    std::string name() const override { return name_; }
    CardSlotState state() const override;
    std::shared_ptr<SmartCard> makeSmartCard() override;

    // Changes the state and, when it differs, tells the observers on this thread.
    // A raw value outside the enumeration may be set too (the card service's own values).
    void setState(CardSlotState state);

    // Runs fn with the script under the reader's lock (keep it short).
    void script(const std::function<void(SimulatedCardScript&)>& fn);
    SimulatedCardLog log() const;

private:
    friend class SimulatedCard;
    const std::string name_;
    mutable std::mutex mutex_;
    CardSlotState state_;           // guarded by mutex_
    SimulatedCardScript script_;    // guarded by mutex_
    SimulatedCardLog log_;          // guarded by mutex_
};

class SimulatedSlotManager : public CardSlotManager, public std::enable_shared_from_this<SimulatedSlotManager> {
public:
    static std::shared_ptr<SimulatedSlotManager> create() { return std::make_shared<SimulatedSlotManager>(); }

    std::vector<std::string> slotNames() const override;
    void getSlotWithName(const std::string& name, SlotReply reply) override;

    // Lists a new reader at the end of the list and tells the observers; the reader object
    // is returned for scripting. An existing name gives the existing reader, unchanged.
    std::shared_ptr<SimulatedSlot> addSlot(const std::string& name, CardSlotState state = CardSlotState::Empty);
    // Unlists the reader (its state becomes Missing) and tells the observers.
    void removeSlot(const std::string& name);
    std::shared_ptr<SimulatedSlot> slot(const std::string& name) const;

    // Lookups: the delay before the reply; names whose lookup answers nullptr; names whose
    // lookup never answers.
    void setLookupDelay(std::chrono::nanoseconds delay);
    void setLookupMisses(std::set<std::string> names);
    void setLookupSilent(std::set<std::string> names);
    int lookups() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimulatedSlot>> slots_;  // guarded by mutex_
    std::chrono::nanoseconds lookupDelay_{0};            // guarded by mutex_
    std::set<std::string> lookupMisses_;                 // guarded by mutex_
    std::set<std::string> lookupSilent_;                 // guarded by mutex_
    int lookups_ = 0;                                    // guarded by mutex_
};

}  // namespace platform
