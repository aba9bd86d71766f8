#include "Model/SessionKeyReference.h"

#include <gtest/gtest.h>

#include <time.h>

#include "Util/CommonUtil.h"

namespace {

using std::chrono::seconds;
using std::chrono::milliseconds;

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

TEST(SessionKeyReferenceTest, ExpiresStrictlyAfterThreeHundredSeconds) {
    const platform::BootClock::time_point t0{seconds(1000)};
    const SessionKeyReference key(16, hex("000102030405060708090A0B0C0D0E0F"), t0);
    struct Case {
        platform::BootClock::duration age;
        bool expired;
    };
    const Case cases[] = {
        {seconds(0), false}, {seconds(299), false}, {seconds(300), false}, {seconds(300) + milliseconds(1), true}, {seconds(301), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::chrono::duration_cast<milliseconds>(c.age).count());
        EXPECT_EQ(c.expired, key.expired(t0 + c.age));
    }
    EXPECT_FALSE(SessionKeyReference(1, {}).expired());  // made now by the real clock
}

// The real clock is the one that goes on counting while the machine sleeps (the monotonic clock
// stops then, and a key would outlive its 300 seconds by the time the machine slept).
TEST(SessionKeyReferenceTest, RealClockCountsSuspendedTime) {
    timespec boot{};
    ASSERT_EQ(::clock_gettime(CLOCK_BOOTTIME, &boot), 0);
    const auto bootNow = seconds(boot.tv_sec) + std::chrono::nanoseconds(boot.tv_nsec);
    EXPECT_LT(std::chrono::abs(platform::BootClock::now().time_since_epoch() - bootNow), seconds(5));
    const auto now = platform::BootClock::now();
    EXPECT_TRUE(SessionKeyReference(1, {}, now - seconds(301)).expired());
    EXPECT_FALSE(SessionKeyReference(1, {}, now - seconds(299)).expired());
}

TEST(SessionKeyReferenceTest, TextsAndJson) {
    const SessionKeyReference key(18446744073709551615ULL, hex("000102030405060708090A0B0C0D0E0F"));
    EXPECT_EQ("000102030405060708090A0B0C0D0E0F", key.dataInHexString());
    EXPECT_EQ("FFFFFFFFFFFFFFFF", key.keyInHexString());
    EXPECT_EQ("0000000000000010", SessionKeyReference(16, {}).keyInHexString());
    EXPECT_EQ(nlohmann::json::parse(R"({"ref": 18446744073709551615, "data": "000102030405060708090A0B0C0D0E0F"})"), key.jsonDict());
    EXPECT_EQ("SessionKeyReference [ref:18446744073709551615, data:<00010203 04050607 08090a0b 0c0d0e0f>]", key.description());
}

TEST(SessionKeyReferenceTest, FromJsonStringHasNoCreationTime) {
    const SessionKeyReference key = SessionKeyReference::fromJsonString(R"({"ref": 12345678901234567890, "data": "0a0B"})");
    EXPECT_EQ(12345678901234567890ULL, key.referenceNumber());
    EXPECT_EQ("0a0B", key.dataInHexString());
    EXPECT_EQ(hex("0A0B"), key.data());
    EXPECT_FALSE(key.timestamp());
    EXPECT_TRUE(key.expired(platform::BootClock::time_point{}));

    for (const char* bad : {"", "nope", "[]", R"({"ref": "1"})"}) {
        SCOPED_TRACE(bad);
        const SessionKeyReference k = SessionKeyReference::fromJsonString(bad);
        EXPECT_EQ(0u, k.referenceNumber());
        EXPECT_TRUE(k.data().empty());
        EXPECT_TRUE(k.dataInHexString().empty());
    }
}

}  // namespace
