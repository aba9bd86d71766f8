#include "Platform/Format.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(FormatTest, ConversionsAsInC) {
    struct Case {
        std::string expected;
        std::string actual;
    };
    const int value = 42;
    const Case cases[] = {
        {"plain", platform::format("plain")},
        {"Running pellix version: 1.4.0", platform::format("Running pellix version: %@", std::string("1.4.0"))},
        {"n=-5 u=7 x=1a03 X=FF", platform::format("n=%li u=%lu x=%x X=%X", -5L, 7UL, 6659u, 255u)},
        {"big=18446744073709551615", platform::format("big=%llu", ~0ULL)},
        {"100%", platform::format("100%%")},
        {"[  ab]", platform::format("[%4s]", "ab")},
        {"nil=(null)", platform::format("nil=%@", std::nullopt)},
        {"missing=(null)", platform::format("missing=%@")},
        {"0x2a", platform::format("%p", reinterpret_cast<const void*>(static_cast<uintptr_t>(value)))},
        {"trailing %", platform::format("trailing %")},
        {"3.50", platform::format("%.2f", 3.5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.expected, c.actual);
    }
}

}  // namespace
