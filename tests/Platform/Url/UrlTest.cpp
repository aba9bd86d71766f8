#include "Platform/Url/Url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {
namespace {

using Components = std::vector<std::string>;

struct ParseCase {
    const char* text;
    bool ok;
    const char* host;  // nullptr: no host
    std::optional<uint16_t> port;
    const char* path;
    const char* query;  // nullptr: no query
};

TEST(UrlTest, ParsesAbsoluteUrlsIntoTheirPieces) {
    const ParseCase cases[] = {
        {"http://localhost:31505/scard/list?x=1&y", true, "localhost", 31505, "/scard/list", "x=1&y"},
        {"https://Example.COM/a/b", true, "Example.COM", std::nullopt, "/a/b", nullptr},
        {"http://[::1]:31505/", true, "::1", 31505, "/", nullptr},
        {"http://[2001:db8::7]/x", true, "2001:db8::7", std::nullopt, "/x", nullptr},
        {"http://user:pw@127.0.0.1/doc?", true, "127.0.0.1", std::nullopt, "/doc", ""},
        {"http://h", true, "h", std::nullopt, "", nullptr},
        {"http://h:/p", true, "h", std::nullopt, "/p", nullptr},
        {"HTTP://h/%41%zz", false, nullptr, std::nullopt, "", nullptr},
        {"http://h/%4", false, nullptr, std::nullopt, "", nullptr},
        {"http://h/a b", false, nullptr, std::nullopt, "", nullptr},
        {"http://h/a\x01", false, nullptr, std::nullopt, "", nullptr},
        {"http://h:65536/", false, nullptr, std::nullopt, "", nullptr},
        {"http://h:12a/", false, nullptr, std::nullopt, "", nullptr},
        {"http://[::1/", false, nullptr, std::nullopt, "", nullptr},
        {"http://[zz::]/", false, nullptr, std::nullopt, "", nullptr},
        {"http://[::1]x/", false, nullptr, std::nullopt, "", nullptr},
        {"http://a<b/", false, nullptr, std::nullopt, "", nullptr},
        {"/relative/only", false, nullptr, std::nullopt, "", nullptr},
        {"", false, nullptr, std::nullopt, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto url = Url::parse(c.text);
        ASSERT_EQ(url.has_value(), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(url->relativeString(), c.text);
        EXPECT_EQ(url->host(), c.host ? std::optional<std::string>(c.host) : std::nullopt);
        EXPECT_EQ(url->port(), c.port);
        EXPECT_EQ(url->path(), c.path);
        EXPECT_EQ(url->query(), c.query ? std::optional<std::string>(c.query) : std::nullopt);
    }
}

TEST(UrlTest, PathComponentsAreTheRootThenEachDecodedSegment) {
    const struct {
        const char* url;
        Components components;
        const char* last;
    } cases[] = {
        {"http://h/scard/status/Reader%20A", {"/", "scard", "status", "Reader A"}, "Reader A"},
        {"http://h/", {"/"}, "/"},
        {"http://h", {}, ""},
        {"http://h/scard/", {"/", "scard"}, "scard"},
        {"http://h/a//b", {"/", "a", "b"}, "b"},
        {"http://h/a%2Fb/c", {"/", "a/b", "c"}, "c"},
        {"http://h/x?q=%20", {"/", "x"}, "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const auto url = Url::parse(c.url);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->pathComponents(), c.components);
        EXPECT_EQ(url->lastPathComponent(), c.last);
    }
}

TEST(UrlTest, ResolvesReferencesAsTheStandardDoes) {
    const auto base = Url::parse("http://a/b/c/d;p?q");
    ASSERT_TRUE(base);
    const struct {
        const char* reference;
        const char* absolute;
    } cases[] = {
        {"g", "http://a/b/c/g"},           {"./g", "http://a/b/c/g"},      {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},              {"//g", "http://g"},            {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},       {"#s", "http://a/b/c/d;p?q#s"}, {"", "http://a/b/c/d;p?q"},
        {"..", "http://a/b/"},             {"../g", "http://a/b/g"},       {"../../../g", "http://a/g"},
        {"/./g", "http://a/g"},            {"g/../h", "http://a/b/c/h"},   {"http://x/y/../z", "http://x/z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reference);
        const auto url = Url::resolve(c.reference, *base);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->absoluteString(), c.absolute);
        EXPECT_EQ(url->relativeString(), c.reference);
    }
}

TEST(UrlTest, RequestTargetIsResolvedAgainstTheHostField) {
    const struct {
        const char* target;
        std::optional<const char*> hostField;
        bool ok;
        const char* absolute;
        const char* host;  // nullptr: no host
    } cases[] = {
        {"/scard/list?x=1", "localhost:31505", true, "http://localhost:31505/scard/list?x=1", "localhost"},
        {"/", "127.0.0.1", true, "http://127.0.0.1/", "127.0.0.1"},
        {"/x", "[::1]:31505", true, "http://[::1]:31505/x", "::1"},
        {"/a/../scard/./list", "localhost", true, "http://localhost/scard/list", "localhost"},
        {"http://elsewhere.example/x", "localhost", true, "http://elsewhere.example/x", "elsewhere.example"},
        {"//other/x", "localhost", true, "http://other/x", "other"},
        {"*", "localhost", true, "http://localhost/*", "localhost"},
        {"/x", std::nullopt, true, "/x", nullptr},
        {"/x", "", true, "/x", nullptr},
        {"/x", "localhost/evil", false, "", nullptr},
        {"/x", "user@localhost", false, "", nullptr},
        {"/x", "local host", false, "", nullptr},
        {"/x", "localhost:99999", false, "", nullptr},
        {"/x", ":31505", false, "", nullptr},
        {"/x", "[::1", false, "", nullptr},
        {"/%zz", "localhost", false, "", nullptr},
        {"", "localhost", false, "", nullptr},
    };
    // Forwards and backwards, each case twice in a row: a host field's parsed base is kept
    // from one request to the next, and must never answer for another host.
    std::vector<size_t> order;
    for (size_t i = 0; i < std::size(cases); ++i) order.insert(order.end(), {i, i});
    for (size_t i = std::size(cases); i-- > 0;) order.insert(order.end(), {i, i});
    for (size_t index : order) {
        const auto& c = cases[index];
        SCOPED_TRACE(std::string(c.target) + " Host: " + (c.hostField ? *c.hostField : "(none)"));
        const auto url = Url::fromRequestTarget(
            c.target, c.hostField ? std::optional<std::string_view>(*c.hostField) : std::nullopt);
        ASSERT_EQ(url.has_value(), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(url->relativeString(), c.target);
        EXPECT_EQ(url->absoluteString(), c.absolute);
        EXPECT_EQ(url->absoluteUrl().relativeString(), c.absolute);
        EXPECT_EQ(url->host(), c.host ? std::optional<std::string>(c.host) : std::nullopt);
    }
}

TEST(UrlTest, QueryStaysEncodedAndDecodingChecksEscapes) {
    const auto url = Url::fromRequestTarget("/scard/loaddoc?sessionref=%31&a=b", "localhost");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->query(), "sessionref=%31&a=b");
    EXPECT_EQ(Url::percentDecode("a%20b%2f%C3%A9"), "a b/\xC3\xA9");
    EXPECT_EQ(Url::percentDecode("%"), std::nullopt);
    EXPECT_EQ(Url::percentDecode("%4"), std::nullopt);
    EXPECT_EQ(Url::percentDecode("%g0"), std::nullopt);
}

}  // namespace
}  // namespace platform
