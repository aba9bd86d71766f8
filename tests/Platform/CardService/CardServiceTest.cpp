#include "Platform/CardService/CardSlotManager.h"

#include <gtest/gtest.h>

#include <PCSC/pcsclite.h>

#include "Platform/CardService/Observation.h"
#include "Platform/CardService/PcscSlot.h"
#include "Platform/CardService/ShortApdu.h"

namespace {

using platform::Bytes;
using platform::CardSlotState;

TEST(ShortApduTest, BuildsTheCasesFromTheFields) {
    struct Case {
        const char* name;
        std::optional<Bytes> data;
        std::optional<int> le;
        std::optional<Bytes> expected;
    };
    const Case cases[] = {
        {"case 1", std::nullopt, std::nullopt, Bytes{0x00, 0xA4, 0x04, 0x0C}},
        {"case 2", std::nullopt, 16, Bytes{0x00, 0xA4, 0x04, 0x0C, 0x10}},
        {"case 2, Le 256 as 00", std::nullopt, 256, Bytes{0x00, 0xA4, 0x04, 0x0C, 0x00}},
        {"case 3", Bytes{0x3F, 0x00}, std::nullopt, Bytes{0x00, 0xA4, 0x04, 0x0C, 0x02, 0x3F, 0x00}},
        {"case 4", Bytes{0x01}, 0, Bytes{0x00, 0xA4, 0x04, 0x0C, 0x01, 0x01, 0x00}},
        {"empty data is no data", Bytes{}, std::nullopt, Bytes{0x00, 0xA4, 0x04, 0x0C}},
        {"data too long", Bytes(256, 0xAB), std::nullopt, std::nullopt},
        {"Le out of range", std::nullopt, 257, std::nullopt},
        {"negative Le", std::nullopt, -1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::shortApdu(0x00, 0xA4, 0x04, 0x0C, c.data, c.le), c.expected);
    }
    EXPECT_EQ(platform::shortApdu(0, 1, 2, 3, Bytes(255, 0x11), 255)->size(), 4u + 1 + 255 + 1);
}

TEST(PcscSlotTest, ReaderStateFromPcscEventState) {
    struct Case {
        DWORD eventState;
        DWORD atrLength;
        CardSlotState expected;
    };
    const Case cases[] = {
        {SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED, 0, CardSlotState::Missing},
        {SCARD_STATE_IGNORE, 0, CardSlotState::Missing},
        {SCARD_STATE_UNAVAILABLE, 0, CardSlotState::Missing},
        {SCARD_STATE_UNAWARE, 0, CardSlotState::Missing},
        {SCARD_STATE_EMPTY, 0, CardSlotState::Empty},
        {SCARD_STATE_EMPTY | SCARD_STATE_CHANGED, 0, CardSlotState::Empty},
        {SCARD_STATE_PRESENT, 0, CardSlotState::Probing},
        {SCARD_STATE_PRESENT | SCARD_STATE_MUTE, 0, CardSlotState::MuteCard},
        {SCARD_STATE_PRESENT, 5, CardSlotState::ValidCard},
        {SCARD_STATE_PRESENT | SCARD_STATE_INUSE, 5, CardSlotState::ValidCard},
        {SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE, 5, CardSlotState::ValidCard},
        {SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED, 5, CardSlotState::ValidCard},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.eventState);
        EXPECT_EQ(platform::PcscSlot::stateFromReaderState(c.eventState, c.atrLength), c.expected);
    }
}

TEST(ObservationTest, InitialDeliveryAtOnceThenEveryChangeUntilCancelled) {
    auto registry = platform::ObserverRegistry::create();
    int calls = 0;
    auto observation = registry->add([&] { ++calls; });
    EXPECT_EQ(calls, 1);  // delivered before add returned
    registry->notify();
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(observation->cancel());
    EXPECT_FALSE(observation->cancel());  // no longer registered
    registry->notify();
    EXPECT_EQ(calls, 2);

    // A token that outlives its registry cancels nothing and does not crash.
    auto orphan = registry->add([] {});
    registry.reset();
    EXPECT_FALSE(orphan->cancel());
}

TEST(ObservationTest, DestroyingTheTokenUnregisters) {
    auto registry = platform::ObserverRegistry::create();
    int calls = 0;
    {
        auto observation = registry->add([&] { ++calls; });
    }
    registry->notify();
    EXPECT_EQ(calls, 1);
}

}  // namespace
