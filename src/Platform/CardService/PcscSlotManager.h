// The reader manager of the PC/SC backend (pcsc-lite and its service pcscd).
//
// A monitor thread with a PC/SC context of its own follows the reader list (through the
// "\\?PnP?\\Notification" pseudo-reader) and every reader's state with
// SCardGetStatusChange, and delivers the slotNames and state observations on that thread.
// When the service is down or restarted (SCARD_E_NO_SERVICE and the like) the list empties,
// the monitor establishes a new context with a short back-off, and the list refills when
// the service answers again.
//
// The manager holds no card: cards are connected only inside a session (PcscSmartCard).
// Destroying the manager stops and joins the monitor thread, and so does the end of the
// process: an exit handler stops and joins every monitor before the objects and the PC/SC
// library state that a delivery uses are torn down (a manager kept for the life of the
// process is never destroyed). Stopping cancels the monitor's status wait, so it takes no
// longer than the delivery under way.
#pragma once

#include <PCSC/winscard.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/CardService/CardSlotManager.h"
#include "Platform/CardService/PcscSlot.h"

namespace platform {

class PcscSlotManager : public CardSlotManager {
public:
    struct Options {
        std::chrono::milliseconds firstBackoff{100};  // the wait after the first failure
        std::chrono::milliseconds maxBackoff{2000};   // the wait doubles up to this
        std::chrono::milliseconds pollInterval{5000}; // a status wait that sees no change ends after this
    };

    // Reads the current list (when the service answers) and starts the monitor thread.
    static std::shared_ptr<PcscSlotManager> create() { return create(Options{}); }
    static std::shared_ptr<PcscSlotManager> create(Options options);

    explicit PcscSlotManager(Options options);
    ~PcscSlotManager() override;
    PcscSlotManager(const PcscSlotManager&) = delete;
    PcscSlotManager& operator=(const PcscSlotManager&) = delete;

    std::vector<std::string> slotNames() const override;
    void getSlotWithName(const std::string& name, SlotReply reply) override;

    // Whether the monitor has a working context now (the service answers).
    bool serviceAvailable() const;

private:
    struct Seen {
        std::string name;
        DWORD eventState = SCARD_STATE_UNAWARE;
    };

    // Stops the monitor thread and waits for it to end (from the monitor thread itself it is
    // let go instead). Idempotent; any thread.
    void stopMonitor();
    // The exit handler: stopMonitor() of every manager that has a monitor.
    static void stopMonitorsAtExit();

    void run();
    // One pass: list the readers, read their states, publish changes. Returns the PC/SC
    // result; fills seen_ for the next status wait.
    LONG refresh(SCARDCONTEXT context);
    void publish(const std::vector<std::string>& names, const std::vector<CardSlotState>& states);
    void loseService();
    bool sleepFor(std::chrono::milliseconds wait);

    const Options options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;                                    // guarded by mutex_
    bool monitorEnded_ = false;                                // guarded by mutex_
    SCARDCONTEXT context_ = 0;                                 // guarded by mutex_ (for SCardCancel)
    std::vector<std::string> names_;                           // guarded by mutex_
    std::map<std::string, std::shared_ptr<PcscSlot>> slots_;   // guarded by mutex_
    // Monitor thread only.
    std::vector<Seen> seen_;
    DWORD pnpState_ = SCARD_STATE_UNAWARE;
    // Joined or let go once, under stopMutex_: by the destructor or the exit handler,
    // whichever comes first.
    std::mutex stopMutex_;
    std::thread monitor_;
};

}  // namespace platform
