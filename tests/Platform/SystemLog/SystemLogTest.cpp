#include "Platform/SystemLog/SystemLog.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(SystemLogTest, EntriesKeepTheirTextAndAValidPriority) {
    std::vector<std::pair<int, std::string>> entries;
    platform::setSystemLogOutputEnabled(false);
    platform::setSystemLogCapture([&](int priority, const std::string& text) { entries.emplace_back(priority, text); });

    auto client = platform::SystemLogClient::open(nullptr, "com.apple.console", 0);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ("com.apple.console", client->facilityName());
    client->log(2, "100% %s %@ %n");
    client->log(7, "debug");
    client->log(8, "too high");
    client->log(-1, "negative");

    platform::setSystemLogCapture({});
    platform::setSystemLogOutputEnabled(true);
    const std::vector<std::pair<int, std::string>> expected = {
        {2, "100% %s %@ %n"}, {7, "debug"}, {5, "too high"}, {5, "negative"}};
    EXPECT_EQ(expected, entries);
}

TEST(SystemLogTest, OpensWithoutAFacility) {
    auto client = platform::SystemLogClient::open(nullptr, nullptr, 0);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ("user", client->facilityName());
}

}  // namespace
