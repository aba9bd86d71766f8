// The card manager over the PC/SC backend, against pcscd with the vpcd driver's virtual
// readers and the virtual test card.
#include "SmartCard/SmartCardManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "Platform/CardService/PcscSlotManager.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "tools/LogCapture.h"
#include "tools/Eventually.h"
#include "tools/PcscTestEnvironment.h"
#include "tools/VirtualCard.h"

namespace {

using namespace std::chrono_literals;
using testcard::VirtualCard;

using testtools::eventually;

class SmartCardManagerPcscTest : public ::testing::Test {
protected:
    void SetUp() override {
        PELLIX_REQUIRE_PCSC();
        platform::PcscSlotManager::Options options;
        options.pollInterval = 200ms;
        service = platform::PcscSlotManager::create(options);
        SmartCardManager::Waits waits;
        waits.slotLookup = 2s;
        waits.sessionBegin = 5s;
        waits.exchange = 5s;
        manager = SmartCardManager::create(service, waits);
        manager->setIdleTimeSeconds(300);
    }

    // The card status of the listed reader, or -1 when it is not listed.
    int64_t cardStatus(const std::string& reader) const {
        auto models = manager->slotModels();
        if (!models) return -1;
        for (const auto& m : *models) {
            if (m->suffixedName() == reader) return m->cardStatus();
        }
        return -1;
    }

    testtools::LogCapture log;
    std::shared_ptr<platform::PcscSlotManager> service;
    std::shared_ptr<SmartCardManager> manager;
};

TEST_F(SmartCardManagerPcscTest, ListsBothVirtualReadersWithTheirStates) {
    EXPECT_EQ(cardStatus(testcard::kFirstReader), 303);
    EXPECT_EQ(cardStatus(testcard::kSecondReader), 303);
    EXPECT_EQ(manager->errorCode(), 0);
    EXPECT_EQ(manager->errorCodeNative(), 1);

    VirtualCard card(VirtualCard::kSecondReaderPort);
    ASSERT_TRUE(card.insert());
    EXPECT_TRUE(eventually([&] { return cardStatus(testcard::kSecondReader) == 302; }));
    EXPECT_EQ(cardStatus(testcard::kFirstReader), 303);
    EXPECT_EQ(manager->errorCode(), 0);
    EXPECT_EQ(manager->errorCodeNative(), 0);
}

TEST_F(SmartCardManagerPcscTest, ExchangesApdusInASessionUntilTheCardIsRemoved) {
    VirtualCard card(VirtualCard::kFirstReaderPort);
    card.setHandler([](const testcard::Bytes& command) -> testcard::Bytes {
        if (command == testcard::Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}) return {0x90, 0x00};
        if (command == testcard::Bytes{0x00, 0xB0, 0x00, 0x00, 0x04}) return {0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00};
        return {0x6D, 0x00};
    });
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(eventually([&] { return cardStatus(testcard::kFirstReader) == 302; }));

    const std::optional<std::string> id = std::string("4711");
    auto select = manager->sendApduString(std::string("00 A4 00 00 02 3F 00"), testcard::kFirstReader, id);
    ASSERT_TRUE(select);
    EXPECT_EQ(select->hexStringWithStatusCode(), "9000");
    auto read = manager->sendApduString(std::string("00B0000004"), testcard::kFirstReader, id);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->hexStringWithStatusCode(), "DEADBEEF9000");
    auto unknown = manager->sendApduString(std::string("80 CA 9F 7F"), testcard::kFirstReader, id);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->hexStringWithStatusCode(), "6d00");
    EXPECT_EQ(manager->errorCode(), 0);
    EXPECT_EQ(manager->errorCodeNative(), 0);
    EXPECT_EQ(manager->cardSessions().size(), 1u);
    EXPECT_EQ(card.commands().size(), 3u);

    card.remove();
    EXPECT_TRUE(eventually([&] { return cardStatus(testcard::kFirstReader) == 303; }));
    EXPECT_TRUE(eventually([&] { return manager->cardSessions().empty(); }));
    EXPECT_EQ(manager->errorCode(), 303);
    EXPECT_EQ(manager->errorCodeNative(), 1);

    EXPECT_FALSE(manager->sendApduString(std::string("00B0000004"), testcard::kFirstReader, id));
    EXPECT_EQ(manager->errorCode(), 200);
    EXPECT_TRUE(log.contains("Slot 'Virtual PCD 00 00' do not have a valid card "));
}

TEST_F(SmartCardManagerPcscTest, DisconnectReleasesTheCardForOtherPrograms) {
    VirtualCard card(VirtualCard::kSecondReaderPort);
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(eventually([&] { return cardStatus(testcard::kSecondReader) == 302; }));
    const std::optional<std::string> id = std::string("0815");
    ASSERT_TRUE(manager->sendApduString(std::string("00A4000000"), testcard::kSecondReader, id));

    manager->closeCardSession(id);
    EXPECT_TRUE(manager->cardSessions().empty());
    SCARDCONTEXT other = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other), SCARD_S_SUCCESS);
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    EXPECT_EQ(SCardConnect(other, testcard::kSecondReader, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           &handle, &protocol),
              SCARD_S_SUCCESS);
    SCardDisconnect(handle, SCARD_LEAVE_CARD);
    SCardReleaseContext(other);
}

// The end of the process while the card service's monitor thread is delivering a reader
// state: the delivery goes on past the start of exit() and then posts to the global queue,
// as the card manager's own handler does. Everything the monitor uses (the dispatch layer,
// the card manager, the PC/SC library) must still be there until it has ended, so the
// delivery must be over before any exit-time destructor of what was made before the card
// service runs. Runs in a process of its own, which it ends; everything it makes is kept
// for good, as the shared card manager is.
namespace exit_race {

std::atomic<bool> exitBegun{false};
std::atomic<bool> deliveryEnded{false};

[[noreturn]] void fail(const char* why, int code) {
    ::write(STDERR_FILENO, why, std::strlen(why));
    ::_exit(code);
}

[[noreturn]] void exitWhileTheMonitorDelivers() {
    // Registered before the card service exists, so run after everything registered for
    // the end of the process since: the stand-in for what was made before the service.
    std::atexit([] {
        if (!deliveryEnded) fail("exit went on while the monitor thread was still delivering\n", 3);
    });
    platform::PcscSlotManager::Options options;
    options.pollInterval = 200ms;
    SmartCardManager::Waits waits;
    waits.slotLookup = 2s;
    static auto* manager = new std::shared_ptr<SmartCardManager>(
        SmartCardManager::create(platform::PcscSlotManager::create(options), waits));
    auto slot = (*manager)->slotWithName(testcard::kFirstReader);
    if (!slot) fail("the first virtual reader is not listed\n", 4);

    static auto* delivering = new std::promise<void>;
    static std::atomic<bool> armed{false};
    static auto* observation = new std::shared_ptr<platform::Observation>(slot->observeState([](const auto&) {
        if (!armed.exchange(false)) return;  // the first delivery, at registration, or a later one
        delivering->set_value();
        for (int i = 0; i < 500 && !exitBegun; ++i) std::this_thread::sleep_for(10ms);
        // Well into the exit-time handlers by now, unless the process waits for this delivery.
        std::this_thread::sleep_for(100ms);
        platform::DispatchQueue::globalConcurrent()->async([] {});
        deliveryEnded = true;
    }));
    (void)observation;
    armed = true;
    // Registered after the card service: runs first.
    std::atexit([] { exitBegun = true; });

    static auto* card = new VirtualCard(VirtualCard::kFirstReaderPort);
    if (!card->insert()) fail("the virtual card could not be inserted\n", 5);
    if (delivering->get_future().wait_for(10s) != std::future_status::ready) fail("no state was delivered\n", 6);
    std::exit(0);
}

}  // namespace exit_race

TEST(SmartCardManagerPcscExitTest, RegressionExitWaitsForTheMonitorThreadsDeliveryToEnd) {
    PELLIX_REQUIRE_PCSC();
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, with all its threads
    EXPECT_EXIT(exit_race::exitWhileTheMonitorDelivers(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
