#include "Platform/DateFormatter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace {

using namespace std::chrono;

class DateFormatterTest : public ::testing::Test {
protected:
    // Every case is written in UTC; the formatter follows the process's zone.
    static void SetUpTestSuite() {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
};

system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s, long long nanos) {
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} +
           duration_cast<system_clock::duration>(nanoseconds{nanos});
}

TEST_F(DateFormatterTest, WritesEachPatternAsTheLettersAsk) {
    struct Case {
        const char* pattern;
        system_clock::time_point date;
        const char* expected;
    };
    const Case cases[] = {
        {"yyyy/MM/dd HH:mm:ss:SSS", utc(2024, 3, 5, 7, 8, 9, 123456789), "2024/03/05 07:08:09:123"},
        {"yyyy-MM-dd HH:mm:ss:SSS", utc(2024, 3, 5, 7, 8, 9, 123456789), "2024-03-05 07:08:09:123"},
        // The fraction is truncated, never rounded up into the next second.
        {"HH:mm:ss:SSS", utc(2024, 12, 31, 12, 0, 0, 999900000), "12:00:00:999"},
        {"yy M/d H:m:s S", utc(2009, 1, 2, 3, 4, 5, 600000000), "09 1/2 3:4:5 6"},
        {"'at' HH 'o''clock' ''", utc(2024, 1, 1, 7, 0, 0, 0), "at 07 o'clock '"},
        {"EEE, yyyy", utc(2024, 1, 1, 0, 0, 0, 0), "EEE, 2024"},
        // Before the epoch the second and its fraction still agree.
        {"yyyy-MM-dd HH:mm:ss:SSS", utc(1969, 12, 31, 23, 59, 59, 500000000), "1969-12-31 23:59:59:500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(c.expected, platform::DateFormatter(c.pattern).stringFromDate(c.date));
    }
}

TEST_F(DateFormatterTest, KeepsItsPattern) {
    EXPECT_EQ("yyyy/MM/dd", platform::DateFormatter("yyyy/MM/dd").dateFormat());
}

}  // namespace
