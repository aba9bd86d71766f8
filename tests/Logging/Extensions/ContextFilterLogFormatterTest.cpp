#include "Logging/Extensions/ContextFilterLogFormatter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <memory>
#include <thread>
#include <vector>

#include "Logging/LxLog.h"

namespace {

std::shared_ptr<const LxLogMessage> messageIn(int32_t context) {
    return std::make_shared<const LxLogMessage>("text", LogLevelWarning, LogFlagWarning, context, __FILE__, "test", 1,
                                                std::nullopt, 0);
}

std::vector<int32_t> sorted(std::vector<int32_t> contexts) {
    std::sort(contexts.begin(), contexts.end());
    return contexts;
}

TEST(ContextFilterLogFormatterTest, PassesOrDropsByContextAndLeavesTheTextAsItIs) {
    struct Case {
        const char* name;
        bool whitelist;
        std::initializer_list<int32_t> listed;
        int32_t context;
        bool passes;
    };
    const Case cases[] = {
        {"empty whitelist drops context 0", true, {}, 0, false},
        {"empty whitelist drops context 80", true, {}, 80, false},
        {"whitelisted context passes", true, {80}, 80, true},
        {"other context is dropped by the whitelist", true, {80}, 0, false},
        {"empty blacklist passes context 0", false, {}, 0, true},
        {"empty blacklist passes context 80", false, {}, 80, true},
        {"blacklisted context is dropped", false, {80, 3}, 80, false},
        {"other context passes the blacklist", false, {80, 3}, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<LxLogFormatter> formatter;
        if (c.whitelist) {
            auto white = std::make_shared<ContextWhitelistFilterLogFormatter>();
            for (int32_t context : c.listed) white->addToWhitelist(context);
            formatter = white;
        } else {
            auto black = std::make_shared<ContextBlacklistFilterLogFormatter>();
            for (int32_t context : c.listed) black->addToBlacklist(context);
            formatter = black;
        }
        auto message = messageIn(c.context);
        const LxLogText text = formatter->formatLogMessage(*message);
        // Passing hands back the record's own text object, so a logger sees it as unformatted.
        EXPECT_EQ(c.passes ? message->logMsg.get() : nullptr, text.get());
    }
}

TEST(ContextFilterLogFormatterTest, ListsHoldEachContextOnce) {
    ContextWhitelistFilterLogFormatter white;
    white.addToWhitelist(80);
    white.addToWhitelist(80);
    white.addToWhitelist(-1);
    EXPECT_EQ((std::vector<int32_t>{-1, 80}), sorted(white.whitelist()));
    EXPECT_TRUE(white.isOnWhitelist(80));
    white.removeFromWhitelist(80);
    EXPECT_FALSE(white.isOnWhitelist(80));
    EXPECT_EQ((std::vector<int32_t>{-1}), white.whitelist());
    white.removeFromWhitelist(12345);  // not on the list: nothing

    ContextBlacklistFilterLogFormatter black;
    black.addToBlacklist(0);
    black.addToBlacklist(0);
    EXPECT_EQ((std::vector<int32_t>{0}), black.blacklist());
    EXPECT_TRUE(black.isOnBlacklist(0));
    black.removeFromBlacklist(0);
    EXPECT_TRUE(black.blacklist().empty());
    EXPECT_FALSE(black.isOnBlacklist(0));
}

TEST(ContextFilterLogFormatterTest, ListsChangeWhileLoggersFilter) {
    auto white = std::make_shared<ContextWhitelistFilterLogFormatter>();
    auto black = std::make_shared<ContextBlacklistFilterLogFormatter>();
    std::atomic<bool> running{true};
    std::thread changer([&] {
        for (int i = 0; running; ++i) {
            if (i % 2) {
                white->addToWhitelist(80);
                black->addToBlacklist(80);
            } else {
                white->removeFromWhitelist(80);
                black->removeFromBlacklist(80);
            }
            (void)white->whitelist();
        }
    });
    // Two "logger queues" filter the same messages at once; a message is always either passed
    // whole or dropped.
    auto filter = [&] {
        auto message = messageIn(80);
        for (int i = 0; i < 20000; ++i) {
            for (LxLogFormatter* formatter : {static_cast<LxLogFormatter*>(white.get()), static_cast<LxLogFormatter*>(black.get())}) {
                const LxLogText text = formatter->formatLogMessage(*message);
                if (text) {
                    ASSERT_EQ(message->logMsg.get(), text.get());
                }
            }
        }
    };
    std::thread first(filter);
    std::thread second(filter);
    first.join();
    second.join();
    running = false;
    changer.join();
}

}  // namespace
