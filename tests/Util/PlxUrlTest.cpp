#include "Util/PlxUrl.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

platform::Url url(const std::string& text) {
    auto parsed = platform::Url::parseReference(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return *parsed;
}

TEST(PlxUrlTest, IsLocalHost) {
    struct Case {
        const char* url;
        bool local;
    };
    const Case cases[] = {
        {"https://localhost:31505/scard", true},
        {"https://LOCALHOST/scard", true},
        {"http://127.0.0.1/", true},
        {"/scard/list", true},  // no host at all
        {"http://[::1]:31505/scard", false},
        {"http://example.com/", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(c.local, PlxUrl::isLocalHost(url(c.url)));
    }
}

TEST(PlxUrlTest, ValueForQuery) {
    struct Case {
        const char* url;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"/scard/loaddoc?sessionref=12", "12"},
        {"/scard/loaddoc?sessionref=1&sessionref=2", "2"},  // a later pair wins
        {"/scard/loaddoc?sessionref=%31", "%31"},           // not decoded
        {"/scard/loaddoc?sessionref", std::nullopt},        // no "="
        {"/scard/loaddoc?sessionref=1=2", std::nullopt},    // two "="
        {"/scard/loaddoc?a=1&sessionref=3&b", "3"},
        {"/scard/loaddoc?other=1", std::nullopt},
        {"/scard/loaddoc", std::nullopt},
        {"/scard/loaddoc?sessionref=", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(c.value, PlxUrl::valueForQuery(url(c.url), "sessionref"));
    }
}

}  // namespace
