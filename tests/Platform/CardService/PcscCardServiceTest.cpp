// The PC/SC backend against the real stack: pcscd with the vpcd driver's virtual readers and
// the virtual test card.
#include "Platform/CardService/PcscSlotManager.h"

#include <gtest/gtest.h>

#include <PCSC/pcsclite.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "Platform/CardService/PcscError.h"
#include "Platform/Dispatch/Semaphore.h"
#include "tools/Eventually.h"
#include "tools/PcscTestEnvironment.h"
#include "tools/ProcessThreads.h"
#include "tools/VirtualCard.h"

namespace {

using namespace std::chrono_literals;
using platform::Bytes;
using platform::CardSlotState;
using testcard::VirtualCard;

using testtools::eventually;

std::shared_ptr<platform::CardSlot> lookup(platform::CardSlotManager& manager, const std::string& name) {
    platform::Semaphore done;
    std::shared_ptr<platform::CardSlot> found;
    manager.getSlotWithName(name, [&](std::shared_ptr<platform::CardSlot> slot) {
        found = std::move(slot);
        done.signal();
    });
    EXPECT_TRUE(done.wait(5s));
    return found;
}

struct Exchange {
    std::optional<Bytes> data;
    uint16_t sw = 0;
    std::optional<platform::Error> error;
};

Exchange send(platform::SmartCard& card, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, std::optional<Bytes> data,
              std::optional<int> le) {
    platform::Semaphore done;
    Exchange result;
    card.setCla(cla);
    card.sendIns(ins, p1, p2, std::move(data), le, [&](std::optional<Bytes> d, uint16_t sw, std::optional<platform::Error> e) {
        result = {std::move(d), sw, std::move(e)};
        done.signal();
    });
    EXPECT_TRUE(done.wait(10s));
    return result;
}

bool begin(platform::SmartCard& card) {
    platform::Semaphore done;
    bool ok = false;
    card.beginSession([&](bool success, std::optional<platform::Error>) {
        ok = success;
        done.signal();
    });
    EXPECT_TRUE(done.wait(10s));
    return ok;
}

// The reader's PC/SC event state as another program sees it.
DWORD readerFlags(const char* reader) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return 0;
    SCARD_READERSTATE state{};
    state.szReader = reader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    SCardGetStatusChange(context, 0, &state, 1);
    SCardReleaseContext(context);
    return state.dwEventState;
}

class PcscCardServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        PELLIX_REQUIRE_PCSC();
        platform::PcscSlotManager::Options options;
        options.pollInterval = 200ms;  // lets the destructor end the monitor quickly
        manager = platform::PcscSlotManager::create(options);
    }

    std::shared_ptr<platform::PcscSlotManager> manager;
};

TEST_F(PcscCardServiceTest, ListsBothVirtualReadersAndFollowsTheCard) {
    auto names = manager->slotNames();
    EXPECT_NE(std::find(names.begin(), names.end(), testcard::kFirstReader), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), testcard::kSecondReader), names.end());
    auto first = lookup(*manager, testcard::kFirstReader);
    auto second = lookup(*manager, testcard::kSecondReader);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(lookup(*manager, "No Such Reader"), nullptr);
    EXPECT_EQ(first->state(), CardSlotState::Empty);
    EXPECT_EQ(first->makeSmartCard(), nullptr);

    std::mutex mutex;
    std::vector<CardSlotState> seen;
    auto observation = first->observeState([&](const std::shared_ptr<platform::CardSlot>& slot) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(slot->state());
    });
    VirtualCard card(VirtualCard::kFirstReaderPort);
    ASSERT_TRUE(card.insert());
    EXPECT_TRUE(eventually([&] { return first->state() == CardSlotState::ValidCard; }));
    EXPECT_EQ(second->state(), CardSlotState::Empty);
    card.remove();
    EXPECT_TRUE(eventually([&] { return first->state() == CardSlotState::Empty; }));
    // The state is set before the observers hear of it, so wait for the delivery too.
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() >= 3 && seen.back() == CardSlotState::Empty;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front(), CardSlotState::Empty);  // the initial delivery
    EXPECT_NE(std::find(seen.begin(), seen.end(), CardSlotState::ValidCard), seen.end());
    EXPECT_EQ(seen.back(), CardSlotState::Empty);
}

TEST_F(PcscCardServiceTest, SessionExchangesApdusAsTheCardSendsThem) {
    VirtualCard virtualCard(VirtualCard::kSecondReaderPort);
    virtualCard.setHandler([](const Bytes& command) -> Bytes {
        if (command == Bytes{0x00, 0xB0, 0x00, 0x00, 0x04}) return {0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00};
        if (command == Bytes{0x00, 0xB2, 0x00, 0x00, 0x00}) return {0x61, 0x03};      // more data waiting
        if (command == Bytes{0x00, 0xC0, 0x00, 0x00, 0x03}) return {0x01, 0x02, 0x03, 0x90, 0x00};
        if (command == Bytes{0x00, 0xCA, 0x00, 0x00, 0x00}) return {0x6C, 0x02};      // wrong Le
        if (command == Bytes{0x00, 0xCA, 0x00, 0x00, 0x02}) return {0xAB, 0xCD, 0x90, 0x00};
        return {0x6A, 0x82};
    });
    ASSERT_TRUE(virtualCard.insert());
    auto slot = lookup(*manager, testcard::kSecondReader);
    ASSERT_TRUE(slot);
    ASSERT_TRUE(eventually([&] { return slot->state() == CardSlotState::ValidCard; }));
    auto card = slot->makeSmartCard();
    ASSERT_TRUE(card);

    // Outside a session nothing is sent.
    EXPECT_TRUE(send(*card, 0x00, 0xB0, 0, 0, std::nullopt, 4).error);

    ASSERT_TRUE(begin(*card));
    auto read = send(*card, 0x00, 0xB0, 0, 0, std::nullopt, 4);
    EXPECT_FALSE(read.error);
    EXPECT_EQ(read.data, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(read.sw, 0x9000);
    auto missing = send(*card, 0x00, 0xA4, 0x02, 0x0C, Bytes{0x13, 0x00}, std::nullopt);
    EXPECT_FALSE(missing.data);
    EXPECT_EQ(missing.sw, 0x6A82);
    auto chained = send(*card, 0x00, 0xB2, 0, 0, std::nullopt, 0);
    EXPECT_EQ(chained.data, (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(chained.sw, 0x9000);
    auto retried = send(*card, 0x00, 0xCA, 0, 0, std::nullopt, 0);
    EXPECT_EQ(retried.data, (Bytes{0xAB, 0xCD}));

    // The card is held only inside the session.
    EXPECT_TRUE(readerFlags(testcard::kSecondReader) & SCARD_STATE_INUSE);
    card->endSession();
    EXPECT_TRUE(eventually([] { return !(readerFlags(testcard::kSecondReader) & (SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE)); }));
    EXPECT_TRUE(send(*card, 0x00, 0xB0, 0, 0, std::nullopt, 4).error);
}

TEST_F(PcscCardServiceTest, RemovalMidSessionFailsTheExchangeWithThePcscCode) {
    VirtualCard virtualCard(VirtualCard::kFirstReaderPort);
    ASSERT_TRUE(virtualCard.insert());
    auto slot = lookup(*manager, testcard::kFirstReader);
    ASSERT_TRUE(slot);
    ASSERT_TRUE(eventually([&] { return slot->state() == CardSlotState::ValidCard; }));
    auto card = slot->makeSmartCard();
    ASSERT_TRUE(card && begin(*card));
    EXPECT_EQ(send(*card, 0x00, 0xB0, 0, 0, std::nullopt, 0).sw, 0x9000);

    virtualCard.remove();
    ASSERT_TRUE(eventually([&] { return slot->state() == CardSlotState::Empty; }));
    auto failed = send(*card, 0x00, 0xB0, 0, 0, std::nullopt, 0);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->domain, platform::kPcscErrorDomain);
    EXPECT_NE(failed.error->code, 0);
    card->endSession();  // ends cleanly after the card is gone
}

// The end of the process called from inside a delivery of the monitor thread while another
// thread destroys the manager: the destructor waits for the monitor to end, and the monitor is
// the thread that ends the process, so the exit must not wait for that destructor in turn.
// Runs in a process of its own; an exit that waits for ever is ended by the alarm.
namespace exit_from_delivery {

[[noreturn]] void exitFromADeliveryWhileTheManagerIsDestroyed() {
    ::alarm(20);
    platform::PcscSlotManager::Options options;
    options.pollInterval = 200ms;
    auto manager = platform::PcscSlotManager::create(options);
    auto slot = lookup(*manager, testcard::kFirstReader);
    if (!slot) ::_exit(4);

    static std::weak_ptr<platform::PcscSlotManager> weak;
    static std::atomic<bool> armed{false};
    static std::atomic<bool> delivering{false};
    weak = manager;
    static auto* observation = new std::shared_ptr<platform::Observation>(slot->observeState([](const auto&) {
        if (!armed.exchange(false)) return;  // the first delivery, at registration, or a later one
        delivering = true;
        for (int i = 0; i < 500 && !weak.expired(); ++i) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(50ms);  // the destructor is waiting for this thread by now
        std::exit(0);
    }));
    (void)observation;
    armed = true;
    static auto* card = new VirtualCard(VirtualCard::kFirstReaderPort);
    if (!card->insert()) ::_exit(5);
    for (int i = 0; i < 1000 && !delivering; ++i) std::this_thread::sleep_for(10ms);
    if (!delivering) ::_exit(6);
    manager.reset();  // waits for the monitor, which ends the process meanwhile
    ::_exit(7);
}

}  // namespace exit_from_delivery

// A manager made once the exit handler has stopped the monitors (by a later exit-time step, or
// on another thread while the process exits) starts no monitor of its own: nothing would stop
// it before the PC/SC library's exit-time destructor frees what it waits in. Runs in a process
// of its own; the step registered before the first manager runs after the handler.
namespace create_during_exit {

void createAfterTheHandler() {
    const size_t before = testtools::threadsOfProcess();
    auto late = platform::PcscSlotManager::create();
    const size_t with = testtools::threadsOfProcess();
    late.reset();
    ::_exit(with == before ? 0 : 3);
}

[[noreturn]] void exitWithAManagerMadeAfterTheHandler() {
    ::alarm(20);
    std::atexit(&createAfterTheHandler);
    auto manager = platform::PcscSlotManager::create();
    static auto* kept = new std::shared_ptr<platform::PcscSlotManager>(manager);  // lives through the exit
    (void)kept;
    std::exit(4);  // createAfterTheHandler ends the process with its own code
}

}  // namespace create_during_exit

TEST(PcscCardServiceExitTest, RegressionExitFromADeliveryWhileTheManagerIsDestroyedEnds) {
    PELLIX_REQUIRE_PCSC();
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, with all its threads
    EXPECT_EXIT(exit_from_delivery::exitFromADeliveryWhileTheManagerIsDestroyed(), ::testing::ExitedWithCode(0), "");
}

TEST(PcscCardServiceExitTest, RegressionAManagerMadeAfterTheExitHandlerStartsNoMonitor) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(create_during_exit::exitWithAManagerMadeAfterTheHandler(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
