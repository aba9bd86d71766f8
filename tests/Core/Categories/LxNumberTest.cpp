#include "Core/Categories/LxNumber.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kS64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kS64Min = std::numeric_limits<int64_t>::min();

TEST(LxNumberTest, UnsignedParsingFollowsTheCLibrary) {
    const struct {
        std::optional<std::string> text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"42", true, 42},
        {" 42", true, 42},
        {"\t\n 7", true, 7},
        {"+7", true, 7},
        {"12ab", true, 12},
        {"5, 7", true, 5},
        {"0", true, 0},
        {"-1", true, kU64Max},
        {"18446744073709551615", true, kU64Max},
        {"18446744073709551616", false, kU64Max},
        {"-18446744073709551616", false, kU64Max},
        {"", false, 0},
        {"abc", false, 0},
        {"+", false, 0},
        {" -", false, 0},
        {"0x10", true, 0},
        {std::string("3\0" "9", 3), true, 3},
        {std::nullopt, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? "\"" + *c.text + "\"" : "(nil)");
        const auto view = c.text ? std::optional<std::string_view>(*c.text) : std::nullopt;
        uint64_t value = 99;
        EXPECT_EQ(LxNumber::parseStringIntoUInt64(view, &value), c.ok);
        EXPECT_EQ(value, c.value);
        value = 99;
        EXPECT_EQ(LxNumber::parseStringIntoNSUInteger(view, &value), c.ok);
        EXPECT_EQ(value, c.value);
    }
}

TEST(LxNumberTest, SignedParsingFollowsTheCLibrary) {
    const struct {
        std::optional<std::string> text;
        bool ok;
        int64_t value;
    } cases[] = {
        {"-5", true, -5},
        {" +12x", true, 12},
        {"9223372036854775807", true, kS64Max},
        {"9223372036854775808", false, kS64Max},
        {"-9223372036854775808", true, kS64Min},
        {"-9223372036854775809", false, kS64Min},
        {"", false, 0},
        {"x1", false, 0},
        {std::nullopt, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? "\"" + *c.text + "\"" : "(nil)");
        const auto view = c.text ? std::optional<std::string_view>(*c.text) : std::nullopt;
        int64_t value = 99;
        EXPECT_EQ(LxNumber::parseStringIntoSInt64(view, &value), c.ok);
        EXPECT_EQ(value, c.value);
        value = 99;
        EXPECT_EQ(LxNumber::parseStringIntoNSInteger(view, &value), c.ok);
        EXPECT_EQ(value, c.value);
    }
}

}  // namespace
