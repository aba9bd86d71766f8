// The card manager: the one object through which the system reaches the card service. It
// keeps the list of readers and the card status of each from the card service's
// observations, holds the card sessions of the pages (one per reader, owned by a client
// session id), exchanges APDUs with the cards, and keeps the status codes that every
// card-related reply carries ("errorcode" = errorCode(), "errordetail" = errorCodeNative()).
//
// Creation: sharedManager() makes the single instance on its first call, over the installed
// card service (platform::CardSlotManager::defaultManager()), and keeps it for the life of
// the process. The first call reads the reader list and looks up every reader (at most
// slotLookup, 10 seconds, each) before it returns. Tests make managers of their own with
// create() (over a simulated card service, with short waits) and may put one in place of the
// shared instance with setSharedManager().
//
// Status codes (errorCode): 0 success; 200 reader missing, or no card could be reached for an
// APDU; 201 no card service, no reader listed, or an unknown reader name; 300 mute card;
// 301 probing, or a session that could not be begun; 303 empty reader. errorCodeNative is
// the raw reader state or the card service's error code behind it. Neither is reset at the
// start of a request: each keeps the value of its last writer.
//
// Threads: every operation may be called from any thread. The request-side operations
// (sendApduString, sendApduCommand, closeCardSession) run one at a time and block their caller
// for up to sessionBegin (10 s) to begin a session and exchange (120 s) per APDU. The card
// service's observations (reader list, reader states) and the idle deadline change the lists
// and codes from other threads; a lock guards them, and getters return copies.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Model/CardSessionInfo.h"
#include "Model/SCSlotModel.h"
#include "Platform/CardService/CardSlotManager.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DispatchSource.h"
#include "SmartCard/CommandAPDU.h"
#include "SmartCard/ResponseAPDU.h"

class SmartCardManager : public std::enable_shared_from_this<SmartCardManager> {
public:
    // How long the manager waits for the card service; tests lower them.
    struct Waits {
        std::chrono::nanoseconds slotLookup = std::chrono::seconds(10);    // one reader lookup
        std::chrono::nanoseconds sessionBegin = std::chrono::seconds(10);  // one session start
        std::chrono::nanoseconds exchange = std::chrono::seconds(120);     // one APDU exchange
    };

    // The single instance, made on first call (see above).
    static std::shared_ptr<SmartCardManager> sharedManager();
    // Tests: makes `manager` the instance sharedManager() returns from now on (nullptr: the
    // next call makes a new one over the installed card service).
    static void setSharedManager(std::shared_ptr<SmartCardManager> manager);

    // A started manager over the given card service (nullptr: no card service, every lookup
    // then fails with 201 and "Card manager is null"). Reads the reader list before it returns.
    static std::shared_ptr<SmartCardManager> create(std::shared_ptr<platform::CardSlotManager> manager);
    static std::shared_ptr<SmartCardManager> create(std::shared_ptr<platform::CardSlotManager> manager, Waits waits);

    ~SmartCardManager();
    SmartCardManager(const SmartCardManager&) = delete;
    SmartCardManager& operator=(const SmartCardManager&) = delete;

    // ---- Readers ----

    // Copies of the reader entries, in the order the lookups answered; nil before the first
    // reader list was read and when there is no card service.
    std::optional<std::vector<std::shared_ptr<SCSlotModel>>> slotModels() const;
    // The reader names as last read from the card service.
    std::vector<std::string> slotNames() const;
    // The reader object of the first entry whose name equals `name` exactly (case-sensitive),
    // or nullptr. Without a card service: logs "Card manager is null", errorCode 201.
    std::shared_ptr<platform::CardSlot> slotWithName(const std::string& name);

    int64_t errorCode() const;
    int64_t errorCodeNative() const;

    // ---- Sessions and APDUs ----

    // The idle time-out of card sessions, in seconds (0 until set). Every APDU exchange moves
    // the idle deadline to now plus this value; when it passes without a further exchange
    // every card session on every reader ends. A value of 0 or below (or NaN) means the
    // deadline has passed as soon as it is armed: the card sessions end as soon as the
    // exchange that armed it has finished, so every APDU then runs in a session of its own.
    double idleTimeSeconds() const;
    void setIdleTimeSeconds(double seconds);

    // Parses the APDU text (nil gives the header 00 00 00 00) and sends it (sendApduCommand).
    std::optional<ResponseAPDU> sendApduString(const std::optional<std::string>& apdu, const std::string& slotName,
                                               const std::optional<std::string>& sessionId);
    // Sends the command to the card in the named reader under the session of `sessionId`,
    // reusing that session when it is the reader's session, else ending the reader's session
    // and beginning a new one (a nil id never reuses). The reply (data and status word as the
    // card sent them), or nil when no card could be reached (errorCode 200) or no reply came
    // within the exchange wait. After an exchange errorCode is 0 and errorCodeNative the card
    // service's error code of the reply (0 when none).
    std::optional<ResponseAPDU> sendApduCommand(const CommandAPDU& command, const std::string& slotName,
                                                const std::optional<std::string>& sessionId);

    // Ends every session of the client session id, on any reader. A nil id matches nothing.
    void closeCardSession(const std::optional<std::string>& sessionId);
    // Ends every card session on every reader.
    void closeCardSessions();

    // Copies of the open session records, oldest first.
    std::vector<std::shared_ptr<CardSessionInfo>> cardSessions() const;

    // Removes the manager's observations of the reader states (the system never calls it).
    void removeObservers();

    // "ErrorCode: %li, ErrorCodeNative: %li, Slots: %@"
    std::string description() const;

private:
    struct ObservedSlot {
        std::shared_ptr<platform::CardSlot> slot;
        std::shared_ptr<platform::Observation> observation;  // nullptr while being registered
    };

    struct Passkey {};

public:
    SmartCardManager(Passkey, std::shared_ptr<platform::CardSlotManager> manager, Waits waits);

private:
    void start();
    void slotNamesChanged();
    void updateSlots();
    void slotFound(uint64_t generation, const std::string& name, std::shared_ptr<platform::CardSlot> slot);
    void slotStateChanged(const std::shared_ptr<platform::CardSlot>& slot);
    std::shared_ptr<platform::SmartCard> cardForSlot(const std::string& slotName, const std::optional<std::string>& sessionId);
    std::shared_ptr<platform::SmartCard> cardWithNewSession(const std::optional<std::string>& sessionId, const std::string& slotName);
    std::shared_ptr<platform::SmartCard> beginSessionForSlot(const std::string& slotName);
    bool beginSession(const std::shared_ptr<platform::SmartCard>& card);
    // Returns true when the idle deadline passed as soon as it was armed (time-out <= 0).
    bool trasmitCommand(const CommandAPDU& command, const std::shared_ptr<platform::SmartCard>& card,
                        platform::SmartCard::SendReply reply);
    bool resetIdleTimer();
    void idleTimerExceeded();
    void endSessions(std::vector<std::shared_ptr<CardSessionInfo>> sessions);

    const std::shared_ptr<platform::CardSlotManager> manager_;
    const Waits waits_;
    const std::shared_ptr<platform::DispatchQueue> idleQueue_;

    // Request-side operations run one at a time, as they did on the one connection queue.
    std::mutex requestMutex_;
    // Reader scans run one at a time (the first one and later ones from the card service).
    std::mutex scanMutex_;

    mutable std::mutex mutex_;
    double idleTimeSeconds_ = 0;                                                  // guarded by mutex_
    std::vector<std::string> slotNames_;                                          // guarded by mutex_
    std::optional<std::vector<std::shared_ptr<SCSlotModel>>> slotModels_;         // guarded by mutex_
    int64_t errorCode_ = 0;                                                       // guarded by mutex_
    int64_t errorCodeNative_ = 0;                                                 // guarded by mutex_
    std::vector<ObservedSlot> slots_;                                             // guarded by mutex_
    std::vector<std::shared_ptr<CardSessionInfo>> cardSessions_;                  // guarded by mutex_
    uint64_t scanGeneration_ = 0;                                                 // guarded by mutex_
    std::shared_ptr<platform::Observation> slotNamesObservation_;                 // guarded by mutex_
    std::shared_ptr<platform::DispatchSource> idleTimer_;                         // guarded by mutex_
    std::chrono::steady_clock::time_point idleDeadline_;                          // guarded by mutex_
};
