#include "Logging/LxLogFileFormatterDefault.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace {

using namespace std::chrono;

class LxLogFileFormatterDefaultTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    static std::shared_ptr<const LxLogMessage> messageAt(std::string text, system_clock::time_point timestamp) {
        return std::make_shared<const LxLogMessage>(std::move(text), 3, 1, 0, nullptr, nullptr, 0, std::nullopt, 0, timestamp);
    }
};

TEST_F(LxLogFileFormatterDefaultTest, PutsTheTimestampAndTwoBlanksBeforeTheText) {
    const auto at = sys_days{year{2024} / 3 / 5} + hours{7} + minutes{8} + seconds{9} + milliseconds{999} + microseconds{900};
    LxLogFileFormatterDefault formatter;
    EXPECT_EQ("2024/03/05 07:08:09:999  hello", *formatter.formatLogMessage(*messageAt("hello", at)));
    EXPECT_EQ("2024/03/05 07:08:09:999  ", *formatter.formatLogMessage(*messageAt("", at)));

    LxLogFileFormatterDefault given(std::make_shared<const platform::DateFormatter>("HH:mm"));
    EXPECT_EQ("07:08  hello", *given.formatLogMessage(*messageAt("hello", at)));
}

}  // namespace
