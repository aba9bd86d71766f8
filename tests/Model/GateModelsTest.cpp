#include "Model/HostModel.h"
#include "Model/OriginModel.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct HeaderCase {
    std::optional<std::string> header;
    bool valid;
};

TEST(HostModelTest, OnlyTheLocalHostPasses) {
    const HeaderCase cases[] = {
        {"localhost", true},
        {"127.0.0.1", true},
        {"localhost:31505", true},
        {"127.0.0.1:31505", true},
        {"  localhost:31505\r\n", true},
        {"LOCALHOST", false},  // the header test is case-sensitive
        {"[::1]:31505", false},
        {"example.com", false},
        {"", false},
        {std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header.value_or("<absent>"));
        EXPECT_EQ(c.valid, HostModel(c.header).isValid());
    }
}

TEST(HostModelTest, ValueIsTrimmedHeader) {
    EXPECT_EQ("localhost:1", HostModel(std::string(" \tlocalhost:1 \r\n")).value());
    EXPECT_EQ("localhost:1", HostModel(std::string("localhost:1")).description());
    EXPECT_FALSE(HostModel(std::nullopt).value().has_value());
}

TEST(OriginModelTest, AllowedPrefixAndSuffix) {
    EXPECT_EQ(15u, OriginModel::allowedPrefix().size());
    EXPECT_EQ(11u, OriginModel::allowedSuffix().size());
    const std::string allowed = OriginModel::allowedPrefix() + "test" + OriginModel::allowedSuffix();
    std::string capitals = allowed;
    for (char& ch : capitals) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    const HeaderCase cases[] = {
        {allowed, true},
        {capitals, true},
        {OriginModel::allowedPrefix() + OriginModel::allowedSuffix().substr(1), true},
        {allowed + ":8443", false},  // a port
        {allowed + "/page", false},  // a path
        {"http" + allowed.substr(5), false},
        {"https://evil.example.com", false},
        {"", false},
        {std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header.value_or("<absent>"));
        EXPECT_EQ(c.valid, OriginModel(c.header).isValid());
    }
}

}  // namespace
