#include "SmartCard/SmartCardManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Platform/CardService/SimulatedCardService.h"
#include "SmartCard/CardUtil.h"
#include "tools/Eventually.h"
#include "tools/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using platform::CardSlotState;
using platform::SimulatedCardScript;
using platform::SimulatedSlot;
using platform::SimulatedSlotManager;

constexpr const char* kReaderA = "Reader A";
constexpr const char* kReaderB = "Reader B";
const std::optional<std::string> kIdA = std::string("1111");
const std::optional<std::string> kIdB = std::string("2222");
const std::optional<std::string> kNoId = std::nullopt;
const std::optional<std::string> kSelect = std::string("00 A4 00 00 02 3F 00");

SmartCardManager::Waits shortWaits() {
    SmartCardManager::Waits waits;
    // Long enough for a loaded machine; the tests of the waits themselves script longer delays.
    waits.slotLookup = 1s;
    waits.sessionBegin = 1s;
    waits.exchange = 1s;
    return waits;
}

// Waits (briefly) until the condition holds; for effects that land on other threads.
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = 2s) {
    return testtools::eventually(condition, limit, 5ms);
}

class SmartCardManagerTest : public ::testing::Test {
protected:
    // Readers first, then the manager: its first scan sees them. The idle time-out is the
    // one the web API sets for a request without "timeout".
    std::shared_ptr<SmartCardManager> start() {
        manager = SmartCardManager::create(service, shortWaits());
        manager->setIdleTimeSeconds(300);
        return manager;
    }

    testtools::LogCapture log;
    std::shared_ptr<SimulatedSlotManager> service = SimulatedSlotManager::create();
    std::shared_ptr<SmartCardManager> manager;
};

TEST(CardUtilTest, MapsEveryReaderStateToItsCardStatus) {
    struct Case {
        int64_t state;
        uint64_t status;
        const char* name;
    };
    constexpr Case cases[] = {
        {0, 200, "TKSmartCardSlotStateMissing"},   {1, 303, "TKSmartCardSlotStateEmpty"},
        {2, 301, "TKSmartCardSlotStateProbing"},   {3, 300, "TKSmartCardSlotStateMuteCard"},
        {4, 302, "TKSmartCardSlotStateValidCard"}, {5, 0, "NotSet"},
        {-1, 0, "NotSet"},                         {INT64_MIN, 0, "NotSet"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(CardUtil::mapCardStatus(c.state), c.status);
        EXPECT_EQ(CardUtil::cardStateString(c.state), c.name);
    }
}

TEST_F(SmartCardManagerTest, FirstScanListsEveryReaderWithItsCardStatus) {
    service->addSlot(kReaderA, CardSlotState::ValidCard);
    service->addSlot(kReaderB, CardSlotState::Empty);
    start();

    auto models = manager->slotModels();
    ASSERT_TRUE(models);
    ASSERT_EQ(models->size(), 2u);
    EXPECT_EQ((*models)[0]->jsonDict(), (nlohmann::json{{"name", kReaderA}, {"cardstatus", 302}}));
    EXPECT_EQ((*models)[1]->jsonDict(), (nlohmann::json{{"name", kReaderB}, {"cardstatus", 303}}));
    EXPECT_EQ(manager->slotNames(), (std::vector<std::string>{kReaderA, kReaderB}));
    // The last reader without a valid card leaves its raw state behind.
    EXPECT_EQ(manager->errorCode(), 0);
    EXPECT_EQ(manager->errorCodeNative(), 1);
    EXPECT_TRUE(log.contains("SmartCard reader found: Reader A"));
    EXPECT_TRUE(log.contains("SmartCard reader found: Reader B"));
}

TEST_F(SmartCardManagerTest, ScanOutcomes) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, CardSlotState>> readers;
        std::set<std::string> misses;
        std::set<std::string> silent;
        int64_t code;
        int64_t native;
        std::vector<std::string> listed;
        const char* logLine;
    };
    const Case cases[] = {
        {"one valid card", {{kReaderA, CardSlotState::ValidCard}}, {}, {}, 0, 0, {kReaderA}, nullptr},
        {"one empty reader", {{kReaderA, CardSlotState::Empty}}, {}, {}, 0, 1, {kReaderA}, nullptr},
        {"mute card", {{kReaderA, CardSlotState::MuteCard}}, {}, {}, 0, 3, {kReaderA}, nullptr},
        {"no reader", {}, {}, {}, 201, 0, {}, "No slot available."},
        {"lookup finds nothing", {{kReaderA, CardSlotState::ValidCard}, {kReaderB, CardSlotState::Empty}}, {kReaderA}, {},
         0, 1, {kReaderB}, "Did not find slot with name: Reader A"},
        {"lookup never answers", {{kReaderA, CardSlotState::Empty}, {kReaderB, CardSlotState::ValidCard}}, {}, {kReaderA},
         0, 0, {kReaderB}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        service = SimulatedSlotManager::create();
        service->setLookupMisses(c.misses);
        service->setLookupSilent(c.silent);
        for (const auto& [name, state] : c.readers) service->addSlot(name, state);
        start();
        auto models = manager->slotModels();
        ASSERT_TRUE(models);
        std::vector<std::string> listed;
        for (const auto& m : *models) listed.push_back(m->suffixedName().value_or("(nil)"));
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ(manager->errorCode(), c.code);
        EXPECT_EQ(manager->errorCodeNative(), c.native);
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine));
        }
    }
}

TEST_F(SmartCardManagerTest, WithoutCardServiceEveryLookupFails) {
    manager = SmartCardManager::create(nullptr, shortWaits());
    EXPECT_FALSE(manager->slotModels());
    EXPECT_EQ(manager->errorCode(), 201);
    EXPECT_EQ(manager->slotWithName(kReaderA), nullptr);
    EXPECT_FALSE(manager->sendApduString(kSelect, kReaderA, kIdA));
    EXPECT_EQ(manager->errorCode(), 200);
    EXPECT_TRUE(log.contains("Card manager is null"));
}

TEST_F(SmartCardManagerTest, SlotWithNameIsExactAndCaseSensitive) {
    auto slot = service->addSlot(kReaderA, CardSlotState::ValidCard);
    start();
    EXPECT_EQ(manager->slotWithName(kReaderA), slot);
    EXPECT_EQ(manager->slotWithName("reader a"), nullptr);
    EXPECT_EQ(manager->slotWithName("Reader"), nullptr);
    EXPECT_EQ(manager->errorCode(), 0);  // a miss sets no code
}

TEST_F(SmartCardManagerTest, CardRemovalEndsEverySessionOnEveryReader) {
    auto a = service->addSlot(kReaderA, CardSlotState::ValidCard);
    auto b = service->addSlot(kReaderB, CardSlotState::ValidCard);
    start();
    ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
    ASSERT_TRUE(manager->sendApduString(kSelect, kReaderB, kIdB));
    ASSERT_EQ(manager->cardSessions().size(), 2u);

    b->setState(CardSlotState::Empty);

    EXPECT_TRUE(manager->cardSessions().empty());
    EXPECT_EQ(a->log().openSessions, 0);
    EXPECT_EQ(b->log().openSessions, 0);
    auto models = manager->slotModels();
    EXPECT_EQ((*models)[0]->cardStatus(), 302);
    EXPECT_EQ((*models)[1]->cardStatus(), 303);
    EXPECT_EQ(manager->errorCode(), 303);
    EXPECT_EQ(manager->errorCodeNative(), 1);

    // A card put back is usable again, in a new session.
    b->setState(CardSlotState::ValidCard);
    EXPECT_EQ(manager->errorCode(), 0);
    EXPECT_EQ(manager->errorCodeNative(), 0);
    EXPECT_TRUE(manager->sendApduString(kSelect, kReaderB, kIdB));
    EXPECT_EQ(b->log().begins, 2);
}

TEST_F(SmartCardManagerTest, ReaderListChangeRescansAndEndsSessions) {
    auto a = service->addSlot(kReaderA, CardSlotState::ValidCard);
    start();
    ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));

    service->addSlot(kReaderB, CardSlotState::Empty);
    EXPECT_TRUE(manager->cardSessions().empty());
    EXPECT_EQ(a->log().openSessions, 0);
    EXPECT_EQ(manager->slotModels()->size(), 2u);

    service->removeSlot(kReaderA);
    service->removeSlot(kReaderB);
    EXPECT_TRUE(manager->slotModels()->empty());
    EXPECT_EQ(manager->errorCode(), 201);
    // The old reader object no longer reaches the manager.
    a->setState(CardSlotState::MuteCard);
    EXPECT_EQ(manager->errorCode(), 201);
}

TEST_F(SmartCardManagerTest, SessionsPerClientSessionId) {
    struct Case {
        const char* name;
        std::vector<std::optional<std::string>> ids;  // one APDU each, all on reader A
        int begins;
        std::vector<std::string> events;
    };
    const std::string send = "send 00A40000023F00";
    const Case cases[] = {
        {"same id reuses", {kIdA, kIdA}, 1, {"begin", send, send}},
        {"another id replaces", {kIdA, kIdB}, 2, {"begin", send, "end", "begin", send}},
        {"no id never reuses", {kNoId, kNoId}, 2, {"begin", send, "end", "begin", send}},
        {"back to the first id", {kIdA, kIdB, kIdA}, 3, {"begin", send, "end", "begin", send, "end", "begin", send}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service = SimulatedSlotManager::create();
        auto slot = service->addSlot(kReaderA, CardSlotState::ValidCard);
        start();
        for (const auto& id : c.ids) ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, id));
        EXPECT_EQ(slot->log().begins, c.begins);
        EXPECT_EQ(slot->log().events, c.events);
        auto sessions = manager->cardSessions();
        ASSERT_EQ(sessions.size(), 1u);
        EXPECT_EQ(sessions[0]->sessionId(), c.ids.back());
        EXPECT_EQ(sessions[0]->slotName(), kReaderA);
    }
}

TEST_F(SmartCardManagerTest, CloseCardSessionEndsThatIdOnEveryReader) {
    auto a = service->addSlot(kReaderA, CardSlotState::ValidCard);
    auto b = service->addSlot(kReaderB, CardSlotState::ValidCard);
    auto c = service->addSlot("Reader C", CardSlotState::ValidCard);
    start();
    ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
    ASSERT_TRUE(manager->sendApduString(kSelect, kReaderB, kIdA));
    ASSERT_TRUE(manager->sendApduString(kSelect, "Reader C", kIdB));

    manager->closeCardSession(kNoId);  // matches nothing
    EXPECT_EQ(manager->cardSessions().size(), 3u);

    manager->closeCardSession(kIdA);
    EXPECT_EQ(a->log().ends, 1);
    EXPECT_EQ(b->log().ends, 1);
    EXPECT_EQ(c->log().ends, 0);
    auto sessions = manager->cardSessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0]->sessionId(), kIdB);
}

TEST_F(SmartCardManagerTest, ReplyCarriesDataAndStatusWordAsTheCardSentThem) {
    auto slot = service->addSlot(kReaderA, CardSlotState::ValidCard);
    slot->script([](SimulatedCardScript& s) {
        s.handler = [](const platform::Bytes& command) {
            if (command[1] == 0xB0) return platform::SimulatedReply{platform::Bytes{0x6F, 0x10}, 0x9000, std::nullopt};
            return platform::SimulatedReply{std::nullopt, 0x6A82, std::nullopt};
        };
    });
    start();
    auto read = manager->sendApduString(std::string("00 B0 00 00 02"), kReaderA, kIdA);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->hexStringWithStatusCode(), "6F109000");
    auto select = manager->sendApduString(std::string("00a4040007 01 02 03 04 05 06 07 00"), kReaderA, kIdA);
    ASSERT_TRUE(select);
    EXPECT_EQ(select->hexStringWithStatusCode(), "6a82");
    // The card got the short APDUs built from the parsed fields; a nil text is the bare header.
    EXPECT_TRUE(manager->sendApduString(std::nullopt, kReaderA, kIdA));
    EXPECT_EQ(slot->log().events, (std::vector<std::string>{"begin", "send 00B0000002", "send 00A40400070102030405060700", "send 00000000"}));
    EXPECT_EQ(manager->errorCode(), 0);
    EXPECT_EQ(manager->errorCodeNative(), 0);
}

// Every writer of the two codes, each from a known earlier value, and what it leaves.
TEST_F(SmartCardManagerTest, ErrorCodeWriters) {
    struct Case {
        const char* name;
        std::function<void(SimulatedSlot&)> script;  // on reader A, holding a valid card
        std::optional<std::string> reader;           // the APDU's reader; nullopt: no APDU
        bool replied;
        int64_t code;
        int64_t native;
        const char* logLine;
    };
    auto noop = [](SimulatedSlot&) {};
    const platform::Error cardError{platform::kSimulatedCardErrorDomain, -9, "transmission failed", ""};
    const Case cases[] = {
        {"exchange", noop, kReaderA, true, 0, 0, nullptr},
        {"reader name unknown", noop, std::string("Reader Z"), false, 200, 77, "Could not create slot with name Reader Z"},
        {"reader without a valid card", [](SimulatedSlot& s) { s.setState(CardSlotState::Empty); }, kReaderA, false, 200, 1,
         "Slot 'Reader A' do not have a valid card "},
        {"session refused", [](SimulatedSlot& s) { s.script([](SimulatedCardScript& x) { x.beginSucceeds = false; }); },
         kReaderA, false, 200, 77, "Could not begin session."},
        {"session refused with error",
         [&](SimulatedSlot& s) {
             s.script([&](SimulatedCardScript& x) {
                 x.beginSucceeds = false;
                 x.beginError = cardError;
             });
         },
         kReaderA, false, 200, 77, "Could not begin session with error Error Domain=SimulatedCardErrorDomain Code=-9 \"transmission failed\""},
        {"no card object", [](SimulatedSlot& s) { s.script([](SimulatedCardScript& x) { x.makeCard = false; }); }, kReaderA,
         false, 200, 77, "Could not access card in slot Reader A"},
        {"exchange error",
         [&](SimulatedSlot& s) {
             s.script([&](SimulatedCardScript& x) {
                 x.handler = [&](const platform::Bytes&) { return platform::SimulatedReply{platform::Bytes{0x01}, 0x6F00, cardError}; };
             });
         },
         kReaderA, true, 0, -9, "Error: Error Domain=SimulatedCardErrorDomain Code=-9 \"transmission failed\""},
        {"no answer to the exchange", [](SimulatedSlot& s) { s.script([](SimulatedCardScript& x) { x.sendAnswers = false; }); },
         kReaderA, false, 0, 0, nullptr},
        {"state MuteCard", [](SimulatedSlot& s) { s.setState(CardSlotState::MuteCard); }, std::nullopt, false, 300, 3, nullptr},
        {"state Probing", [](SimulatedSlot& s) { s.setState(CardSlotState::Probing); }, std::nullopt, false, 301, 2, nullptr},
        {"state Missing", [](SimulatedSlot& s) { s.setState(CardSlotState::Missing); }, std::nullopt, false, 200, 0, nullptr},
        {"raw state 9", [](SimulatedSlot& s) { s.setState(static_cast<CardSlotState>(9)); }, std::nullopt, false, 0, 9, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service = SimulatedSlotManager::create();
        auto slot = service->addSlot(kReaderA, CardSlotState::ValidCard);
        // A second reader in an odd raw state leaves a marker in the native code after the
        // scan, so that the writers that leave it alone show.
        service->addSlot("Marker", static_cast<CardSlotState>(77));
        start();
        ASSERT_EQ(manager->errorCode(), 0);
        ASSERT_EQ(manager->errorCodeNative(), 77);
        log.clear();
        c.script(*slot);
        if (c.reader) {
            auto reply = manager->sendApduString(kSelect, *c.reader, kIdA);
            EXPECT_EQ(reply.has_value(), c.replied);
        }
        EXPECT_EQ(manager->errorCode(), c.code);
        EXPECT_EQ(manager->errorCodeNative(), c.native);
        if (c.logLine) {
            // "Error: %@" is written on the reply's thread after the reply is handed over.
            EXPECT_TRUE(eventually([&] { return log.contains(c.logLine); })) << c.logLine;
        }
    }
}

TEST_F(SmartCardManagerTest, ExchangeWithoutAnswerDropsTheLateReply) {
    auto slot = service->addSlot(kReaderA, CardSlotState::ValidCard);
    slot->script([](SimulatedCardScript& s) {
        s.sendDelay = 1500ms;  // longer than the exchange wait
        s.handler = [](const platform::Bytes&) { return platform::SimulatedReply{platform::Bytes{0xAA}, 0x9000, std::nullopt}; };
    });
    start();
    EXPECT_FALSE(manager->sendApduString(kSelect, kReaderA, kIdA));
    EXPECT_EQ(manager->errorCode(), 0);
    slot->script([](SimulatedCardScript& s) { s.sendDelay = 0ms; });
    auto reply = manager->sendApduString(kSelect, kReaderA, kIdA);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hexStringWithStatusCode(), "AA9000");
    std::this_thread::sleep_for(700ms);  // the late reply lands and is dropped
    EXPECT_EQ(slot->log().begins, 1);
}

TEST_F(SmartCardManagerTest, SessionConfirmedAfterTheWaitIsEnded) {
    auto slot = service->addSlot(kReaderA, CardSlotState::ValidCard);
    slot->script([](SimulatedCardScript& s) { s.beginDelay = 1300ms; });  // longer than the begin wait
    start();
    EXPECT_FALSE(manager->sendApduString(kSelect, kReaderA, kIdA));
    EXPECT_EQ(manager->errorCode(), 200);
    EXPECT_TRUE(manager->cardSessions().empty());
    // The card service confirms the session later: nobody holds it, so it is ended at once.
    EXPECT_TRUE(eventually([&] { return slot->log().ends == 1; }));
    EXPECT_EQ(slot->log().openSessions, 0);
}

// Exchanges closer together than the idle time-out keep every session open for longer than the
// time-out in all; the first longer silence ends them all. This runs on real time: on a machine
// so loaded that one short gap outlasts the time-out, the premise breaks, and the scenario is
// tried again rather than failed.
TEST_F(SmartCardManagerTest, IdleDeadlineEndsEverySession) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kIdle = 600ms;
    constexpr auto kGap = 100ms;
    constexpr int kExchanges = 8;  // 800 ms of exchanges in all: longer than the time-out
    bool premiseHeld = false;
    for (int attempt = 0; attempt < 3 && !premiseHeld; ++attempt) {
        service = SimulatedSlotManager::create();
        auto a = service->addSlot(kReaderA, CardSlotState::ValidCard);
        auto b = service->addSlot(kReaderB, CardSlotState::ValidCard);
        start();
        manager->setIdleTimeSeconds(std::chrono::duration<double>(kIdle).count());
        ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
        auto previousStart = Clock::now();
        ASSERT_TRUE(manager->sendApduString(kSelect, kReaderB, kIdB));
        premiseHeld = true;
        for (int i = 0; i < kExchanges && premiseHeld; ++i) {
            std::this_thread::sleep_for(kGap);
            const auto exchangeStart = Clock::now();
            ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
            // The deadline moved somewhere inside each exchange: the sessions are safe as long
            // as this exchange ended within the time-out of the previous one's start.
            premiseHeld = Clock::now() - previousStart < kIdle;
            previousStart = exchangeStart;
        }
        const size_t sessions = manager->cardSessions().size();
        const int beginsOnA = a->log().begins;
        if (!premiseHeld || Clock::now() - previousStart >= kIdle) {
            premiseHeld = false;
            continue;
        }
        EXPECT_EQ(sessions, 2u);
        EXPECT_EQ(beginsOnA, 1);

        EXPECT_TRUE(eventually([&] { return manager->cardSessions().empty(); }, 5s));
        EXPECT_EQ(a->log().openSessions, 0);
        EXPECT_EQ(b->log().openSessions, 0);

        // The next exchange begins a new session and arms a new deadline.
        ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
        EXPECT_EQ(a->log().begins, 2);
        EXPECT_TRUE(eventually([&] { return manager->cardSessions().empty(); }, 5s));
    }
    EXPECT_TRUE(premiseHeld) << "every attempt had a gap longer than the idle time-out";
}

TEST_F(SmartCardManagerTest, IdleTimeoutOfZeroOrBelowEndsSessionsAfterEachExchange) {
    for (double timeout : {0.0, -5.0, std::nan("")}) {
        SCOPED_TRACE(timeout);
        service = SimulatedSlotManager::create();
        auto slot = service->addSlot(kReaderA, CardSlotState::ValidCard);
        start();
        manager->setIdleTimeSeconds(300);
        ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
        manager->setIdleTimeSeconds(timeout);
        ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
        EXPECT_TRUE(manager->cardSessions().empty());
        ASSERT_TRUE(manager->sendApduString(kSelect, kReaderA, kIdA));
        EXPECT_TRUE(manager->cardSessions().empty());
        EXPECT_EQ(slot->log().begins, 2);
        EXPECT_EQ(slot->log().openSessions, 0);
    }
}

TEST_F(SmartCardManagerTest, SharedManagerCanBeReplacedByTests) {
    service->addSlot(kReaderA, CardSlotState::ValidCard);
    start();
    SmartCardManager::setSharedManager(manager);
    EXPECT_EQ(SmartCardManager::sharedManager(), manager);
    EXPECT_EQ(SmartCardManager::sharedManager(), SmartCardManager::sharedManager());
    SmartCardManager::setSharedManager(nullptr);
}

// Requests, state observations, rescans and the idle deadline all at once: ThreadSanitizer
// judges the locking; the checks here only hold the invariants.
TEST_F(SmartCardManagerTest, ConcurrentObservationsAndRequests) {
    auto a = service->addSlot(kReaderA, CardSlotState::ValidCard);
    auto b = service->addSlot(kReaderB, CardSlotState::ValidCard);
    start();
    manager->setIdleTimeSeconds(0.01);
    std::atomic<bool> stop{false};
    std::thread states([&] {
        for (int i = 0; !stop; ++i) {
            b->setState(i % 2 ? CardSlotState::ValidCard : CardSlotState::Empty);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread rescans([&] {
        for (int i = 0; !stop; ++i) {
            if (i % 2) service->addSlot("Reader C", CardSlotState::ValidCard);
            else service->removeSlot("Reader C");
            std::this_thread::sleep_for(3ms);
        }
    });
    std::thread readers([&] {
        while (!stop) {
            (void)manager->slotModels();
            (void)manager->errorCode();
            (void)manager->description();
            (void)manager->slotWithName(kReaderA);
        }
    });
    for (int i = 0; i < 200; ++i) {
        (void)manager->sendApduString(kSelect, i % 3 ? kReaderA : kReaderB, i % 2 ? kIdA : kIdB);
        if (i % 10 == 0) manager->closeCardSession(kIdA);
    }
    stop = true;
    states.join();
    rescans.join();
    readers.join();
    manager->closeCardSessions();
    EXPECT_EQ(a->log().openSessions, 0);
    EXPECT_EQ(b->log().openSessions, 0);
}

}  // namespace
