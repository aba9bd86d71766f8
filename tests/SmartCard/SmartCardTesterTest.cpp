#include "SmartCard/SmartCardTester.h"

#include <gtest/gtest.h>

#include "Platform/CardService/SimulatedCardService.h"
#include "SmartCard/SmartCardManager.h"
#include "tools/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using platform::Bytes;
using platform::CardSlotState;
using platform::SimulatedCardScript;
using platform::SimulatedReply;

class SmartCardTesterTest : public ::testing::Test {
protected:
    void useManager() {
        SmartCardManager::Waits waits;
        waits.slotLookup = 1s;
        waits.sessionBegin = 1s;
        waits.exchange = 1s;
        auto manager = SmartCardManager::create(service, waits);
        manager->setIdleTimeSeconds(300);
        SmartCardManager::setSharedManager(manager);
    }
    void TearDown() override { SmartCardManager::setSharedManager(nullptr); }

    // The commands the reader's cards got, as hexadecimal, in order.
    static std::vector<std::string> sent(const platform::SimulatedSlot& slot) {
        std::vector<std::string> out;
        for (const auto& e : slot.log().events) {
            if (e.rfind("send ", 0) == 0) out.push_back(e.substr(5));
        }
        return out;
    }

    testtools::LogCapture log;
    std::shared_ptr<platform::SimulatedSlotManager> service = platform::SimulatedSlotManager::create();
};

TEST_F(SmartCardTesterTest, ReadPkiReadsOnWhileTheCardAnswersFullBlocks) {
    struct Case {
        const char* name;
        int fullBlocks;  // replies of 255 bytes and 9000 before the last one
        SimulatedReply last;
        size_t reads;    // read-binary commands after the first plain one
    };
    const Case cases[] = {
        {"short first block", 0, {Bytes(10, 0x11), 0x9000, std::nullopt}, 1},
        {"two full blocks, then a short one", 2, {Bytes(3, 0x11), 0x9000, std::nullopt}, 3},
        {"full block, then an error status", 1, {Bytes(255, 0x11), 0x6282, std::nullopt}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service = platform::SimulatedSlotManager::create();
        auto slot = service->addSlot("Reader", CardSlotState::ValidCard);
        auto reads = std::make_shared<int>(0);
        slot->script([&](SimulatedCardScript& s) {
            s.handler = [reads, c](const Bytes& command) {
                if (command[1] != 0xB0) return SimulatedReply{};
                // The first read binary (sent as text) is answered like any other command.
                if ((*reads)++ == 0) return SimulatedReply{};
                if (*reads - 1 <= c.fullBlocks) return SimulatedReply{Bytes(255, 0x22), 0x9000, std::nullopt};
                return c.last;
            };
        });
        useManager();
        SmartCardTester().readPki();
        auto commands = sent(*slot);
        ASSERT_EQ(commands.size(), 4 + c.reads);
        EXPECT_EQ(commands[0], "00A40000023F00");
        EXPECT_EQ(commands[2], "A0A40200021300");
        EXPECT_EQ(commands[3], "A0B0000000");
        for (size_t i = 0; i < c.reads; ++i) {
            const unsigned offset = static_cast<unsigned>(i) * 255;
            char expected[16];
            std::snprintf(expected, sizeof expected, "A0B0%02X%02X00", offset >> 8, offset & 0xFF);
            EXPECT_EQ(commands[4 + i], expected);
        }
    }
}

TEST_F(SmartCardTesterTest, ReadPkiStopsAtTheLastOffsetOfACardThatNeverEnds) {
    auto slot = service->addSlot("Reader", CardSlotState::ValidCard);
    slot->script([](SimulatedCardScript& s) {
        s.handler = [](const Bytes&) { return SimulatedReply{Bytes(255, 0x33), 0x9000, std::nullopt}; };
    });
    useManager();
    SmartCardTester().readPki();
    auto commands = sent(*slot);
    EXPECT_EQ(commands.back(), "A0B07F8000");  // offset 32640, the last block below 0x8000
}

TEST_F(SmartCardTesterTest, MultiSessionRoutinesNeedTheirReaders) {
    useManager();
    SmartCardTester tester;
    tester.testMultSessionRead();
    EXPECT_TRUE(log.contains("No slot available.... "));

    auto one = service->addSlot("Reader 1", CardSlotState::ValidCard);
    tester.testMultipleCard();  // one reader: nothing
    EXPECT_TRUE(sent(*one).empty());

    tester.testMultSessionRead();
    EXPECT_EQ(sent(*one), (std::vector<std::string>{"00A40000023F00", "80000000FF", "00A40000023F00", "80000000FF"}));
    EXPECT_EQ(one->log().begins, 2);  // the session is replaced once

    auto two = service->addSlot("Reader 2", CardSlotState::ValidCard);
    tester.testMultipleCard();
    EXPECT_EQ(sent(*one).size(), 12u);
    EXPECT_EQ(sent(*two).size(), 4u);
}

TEST_F(SmartCardTesterTest, SignVerifiesThePinFirst) {
    auto slot = service->addSlot("Reader", CardSlotState::ValidCard);
    useManager();
    SmartCardTester().run();
    auto commands = sent(*slot);
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[2], "A020008208353830" "36FFFFFFFF");
    EXPECT_EQ(commands[4], "A02A9E9A14DA39A3EE5E6B4B0D3255BFEF95601890AFD8070900");
    EXPECT_EQ(slot->log().begins, 1);
}

}  // namespace
