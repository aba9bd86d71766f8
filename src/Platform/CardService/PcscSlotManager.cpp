#include "Platform/CardService/PcscSlotManager.h"

#include <PCSC/pcsclite.h>

#include <algorithm>
#include <cstdlib>

#include "Platform/CardService/PcscError.h"
#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {
namespace {

constexpr const char* kPnpReader = "\\\\?PnP?\\Notification";

// The reader names of a multi-string ("a\0b\0\0").
std::vector<std::string> splitNames(const std::vector<char>& buffer) {
    std::vector<std::string> names;
    size_t i = 0;
    while (i < buffer.size() && buffer[i] != '\0') {
        std::string name(&buffer[i]);
        i += name.size() + 1;
        names.push_back(std::move(name));
    }
    return names;
}

// The managers whose monitor thread may run, for the exit handler. Never destroyed: the
// handler and the managers' destructors may use it while the process exits.
struct Monitored {
    struct Entry {
        PcscSlotManager* manager;
        std::weak_ptr<PcscSlotManager> weak;
    };
    std::mutex mutex;
    std::condition_variable left;  // an entry went
    std::vector<Entry> entries;    // guarded by mutex
    bool exiting = false;          // guarded by mutex: the exit handler has begun; no monitor starts
};

Monitored& monitored() {
    static auto* all = new Monitored;
    return *all;
}

// On a monitor thread, the manager it monitors for; null on every other thread, and once the
// manager has let its monitor go.
thread_local PcscSlotManager* monitorOfThisThread = nullptr;

}  // namespace

std::shared_ptr<PcscSlotManager> PcscSlotManager::create(Options options) {
    auto manager = std::make_shared<PcscSlotManager>(options);
    // The first list is read before anyone observes it, so that the first observation of
    // "slotNames" already sees the readers.
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) == SCARD_S_SUCCESS) {
        if (manager->refresh(context) != SCARD_S_SUCCESS) {
            SCardReleaseContext(context);
            context = 0;
        }
    } else {
        context = 0;
    }
    {
        std::lock_guard<std::mutex> lock(manager->mutex_);
        manager->context_ = context;
    }
    // The monitor delivers into its observers (the card manager, which posts to the dispatch
    // queues) and waits in the PC/SC library, whose own exit-time destructor frees its list
    // of contexts. At exit it must have ended before any of that goes: the handler runs before
    // every exit-time destructor registered before it, and the library's come last of all.
    static std::once_flag exitHandler;
    std::call_once(exitHandler, [] { std::atexit(&PcscSlotManager::stopMonitorsAtExit); });
    // A manager made while the process exits (on another thread, or by an exit-time destructor)
    // keeps its first list and gets no monitor: the handler may have stopped the others already.
    {
        std::lock_guard<std::mutex> lock(monitored().mutex);
        if (monitored().exiting) return manager;
        monitored().entries.push_back({manager.get(), manager});
    }
    {
        // The handler may have found this entry and stopped a monitor not started yet.
        std::lock_guard<std::mutex> stop(manager->stopMutex_);
        {
            std::lock_guard<std::mutex> lock(manager->mutex_);
            if (manager->stopping_) return manager;
        }
        manager->monitor_ = std::thread([raw = manager.get()] {
            monitorOfThisThread = raw;
            raw->run();
        });
    }
    return manager;
}

PcscSlotManager::PcscSlotManager(Options options) : options_(options) {}

PcscSlotManager::~PcscSlotManager() {
    stopMonitor();
    // Only now: an exit handler that runs meanwhile waits for this entry to go, and so for the
    // monitor to have ended.
    {
        std::lock_guard<std::mutex> lock(monitored().mutex);
        auto& entries = monitored().entries;
        entries.erase(std::remove_if(entries.begin(), entries.end(), [this](const auto& e) { return e.manager == this; }),
                      entries.end());
    }
    monitored().left.notify_all();
}

void PcscSlotManager::stopMonitor() {
    std::lock_guard<std::mutex> stop(stopMutex_);
    if (!monitor_.joinable()) {
        // Not started yet, or already let go: none starts from now on.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        return;
    }
    if (monitor_.get_id() == std::this_thread::get_id()) {
        // The monitor's own delivery dropped the last reference, or ends the process.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        monitor_.detach();
        monitorOfThisThread = nullptr;  // the manager goes before its monitor
        return;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        // A cancel ends only a status wait already under way; one that begins just after it
        // would run its whole poll interval. So it is sent again until the monitor has ended.
        while (!monitorEnded_) {
            if (context_) SCardCancel(context_);
            wake_.notify_all();
            wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return monitorEnded_; });
        }
    }
    monitor_.join();
}

void PcscSlotManager::stopMonitorsAtExit() {
    // Each manager is held while its monitor is stopped, with the list unlocked: a delivery
    // that is being waited for may itself create or destroy a manager.
    std::vector<std::shared_ptr<PcscSlotManager>> live;
    {
        std::lock_guard<std::mutex> lock(monitored().mutex);
        monitored().exiting = true;
        for (const auto& entry : monitored().entries) {
            if (auto manager = entry.weak.lock()) live.push_back(std::move(manager));
        }
    }
    for (const auto& manager : live) manager->stopMonitor();
    live.clear();
    // Called from a delivery of a monitor: that thread ends the process and never goes back to
    // its manager. A destructor on another thread that waits for the monitor to end is told so;
    // it would wait for this thread, which would wait for it.
    PcscSlotManager* const own = monitorOfThisThread;
    if (own) {
        {
            std::lock_guard<std::mutex> lock(own->mutex_);
            own->stopping_ = true;
            own->monitorEnded_ = true;
        }
        own->wake_.notify_all();
    }
    // A manager whose last reference went meanwhile is being destroyed on another thread,
    // which stops its monitor: it has ended once the manager has left the list.
    std::unique_lock<std::mutex> lock(monitored().mutex);
    monitored().left.wait(lock, [own] {
        const auto& entries = monitored().entries;
        return std::none_of(entries.begin(), entries.end(),
                            [own](const auto& e) { return e.manager != own && e.weak.expired(); });
    });
}

std::vector<std::string> PcscSlotManager::slotNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
}

void PcscSlotManager::getSlotWithName(const std::string& name, SlotReply reply) {
    std::shared_ptr<PcscSlot> slot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = slots_.find(name);
        if (it != slots_.end()) slot = it->second;
    }
    DispatchQueue::globalConcurrent()->async([slot, reply = std::move(reply)] { reply(slot); });
}

bool PcscSlotManager::serviceAvailable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return context_ != 0;
}

LONG PcscSlotManager::refresh(SCARDCONTEXT context) {
    std::vector<std::string> names;
    DWORD length = 0;
    LONG rv = SCardListReaders(context, nullptr, nullptr, &length);
    if (rv == SCARD_S_SUCCESS && length > 0) {
        std::vector<char> buffer(length + 1, '\0');
        rv = SCardListReaders(context, nullptr, buffer.data(), &length);
        if (rv == SCARD_S_SUCCESS) names = splitNames(buffer);
    }
    if (rv == SCARD_E_NO_READERS_AVAILABLE) rv = SCARD_S_SUCCESS;
    if (rv != SCARD_S_SUCCESS) return rv;

    std::vector<SCARD_READERSTATE> states(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    if (!states.empty()) {
        rv = SCardGetStatusChange(context, 0, states.data(), static_cast<DWORD>(states.size()));
        // A reader that went away since the list was read: read the list again next time.
        if (rv == SCARD_E_TIMEOUT || rv == SCARD_E_UNKNOWN_READER) rv = SCARD_S_SUCCESS;
        if (rv != SCARD_S_SUCCESS) return rv;
    }
    std::vector<CardSlotState> slotStates;
    seen_.clear();
    for (size_t i = 0; i < names.size(); ++i) {
        slotStates.push_back(PcscSlot::stateFromReaderState(states[i].dwEventState, states[i].cbAtr));
        seen_.push_back({names[i], states[i].dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)});
    }
    // pcsc-lite keeps the number of readers in the high word of the pseudo-reader's state.
    pnpState_ = static_cast<DWORD>(names.size()) << 16;
    publish(names, slotStates);
    return SCARD_S_SUCCESS;
}

void PcscSlotManager::publish(const std::vector<std::string>& names, const std::vector<CardSlotState>& states) {
    std::vector<std::pair<std::shared_ptr<PcscSlot>, CardSlotState>> updates;
    std::vector<std::shared_ptr<PcscSlot>> gone;
    bool listChanged;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listChanged = names != names_;
        std::map<std::string, std::shared_ptr<PcscSlot>> slots;
        for (size_t i = 0; i < names.size(); ++i) {
            auto it = slots_.find(names[i]);
            if (it != slots_.end()) {
                slots[names[i]] = it->second;
                updates.emplace_back(it->second, states[i]);
            } else {
                slots[names[i]] = std::make_shared<PcscSlot>(names[i], states[i]);
            }
        }
        for (const auto& [name, slot] : slots_) {
            if (!slots.count(name)) gone.push_back(slot);
        }
        names_ = names;
        slots_ = std::move(slots);
    }
    for (const auto& [slot, state] : updates) slot->update(state);
    if (listChanged) notifySlotNamesChanged();
    for (const auto& slot : gone) slot->update(CardSlotState::Missing);
}

void PcscSlotManager::loseService() {
    seen_.clear();
    pnpState_ = SCARD_STATE_UNAWARE;
    publish({}, {});
}

bool PcscSlotManager::sleepFor(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, wait, [this] { return stopping_; });
    return !stopping_;
}

void PcscSlotManager::run() {
    std::chrono::milliseconds backoff = options_.firstBackoff;
    SCARDCONTEXT context;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        context = context_;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
        }
        LONG rv;
        if (!context) {
            rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
            if (rv != SCARD_S_SUCCESS) {
                context = 0;
                loseService();
                if (!sleepFor(backoff)) break;
                backoff = std::min(backoff * 2, options_.maxBackoff);
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            context_ = context;
            if (stopping_) break;
        }
        rv = refresh(context);
        bool pnpUnknown = false;
        if (rv == SCARD_S_SUCCESS) {
            std::vector<SCARD_READERSTATE> states(seen_.size() + 1);
            for (size_t i = 0; i < seen_.size(); ++i) {
                states[i].szReader = seen_[i].name.c_str();
                states[i].dwCurrentState = seen_[i].eventState;
            }
            states.back().szReader = kPnpReader;
            states.back().dwCurrentState = pnpState_;
            rv = SCardGetStatusChange(context, static_cast<DWORD>(options_.pollInterval.count()), states.data(),
                                      static_cast<DWORD>(states.size()));
            pnpUnknown = rv == SCARD_S_SUCCESS && (states.back().dwEventState & SCARD_STATE_UNKNOWN);
        }
        if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT || rv == SCARD_E_UNKNOWN_READER || rv == SCARD_E_CANCELLED) {
            backoff = options_.firstBackoff;
            // Without hot-plug notices the wait would end at once: poll instead.
            if (pnpUnknown && !sleepFor(std::chrono::milliseconds(200))) break;
            continue;
        }
        // The context is of no more use (service stopped or restarted): start again.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            context_ = 0;
        }
        SCardReleaseContext(context);
        context = 0;
        loseService();
        if (!sleepFor(backoff)) break;
        backoff = std::min(backoff * 2, options_.maxBackoff);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (context_) {
            SCardReleaseContext(context_);
            context_ = 0;
        }
        monitorEnded_ = true;
    }
    wake_.notify_all();
}

}  // namespace platform
