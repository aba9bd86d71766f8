#include "Logging/LxLogFunctions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(LxLogFunctionsTest, FileNameWithoutDirectoryAndExtension) {
    struct Case {
        const char* path;
        const char* expected;
    };
    static constexpr Case cases[] = {
        {"/work/src/Core/HTTPConnection.m", "HTTPConnection"},
        {"/work/src/Core/HTTPServer.cpp", "HTTPServer"},
        {"main.m", "main"},
        {"HTTPServer", "HTTPServer"},
        {"/a/b/README", "README"},
        {"/a/b/.m", ""},
        {"/a/b/", ""},
        {"", ""},
        {"archive.tar.gz", "archive.tar"},
        {"/a.b/README", "README"},  // a dot in a directory name only
        {"/a.b/c/name.h", "name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto name = LxExtractFileNameWithoutExtension(c.path);
        ASSERT_TRUE(name.has_value());
        EXPECT_EQ(c.expected, std::string(*name));
    }
    EXPECT_FALSE(LxExtractFileNameWithoutExtension(nullptr).has_value());
}

TEST(LxLogFunctionsTest, FileNamePointsIntoThePathAndWorksAtCompileTime) {
    static constexpr const char* path = "/src/Core/HTTPServer.cpp";
    static_assert(*LxExtractFileNameWithoutExtension(path) == "HTTPServer");
    auto name = *LxExtractFileNameWithoutExtension(path);
    EXPECT_EQ(path + 10, name.data());
}

TEST(LxLogFunctionsTest, StringCopyIsAnOwnTerminatedCopy) {
    const char text[] = "log.hub";
    char* copy = lx_str_copy(text);
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(text, copy);
    EXPECT_STREQ(text, copy);
    std::free(copy);

    char* empty = lx_str_copy("");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ('\0', empty[0]);
    std::free(empty);

    EXPECT_EQ(nullptr, lx_str_copy(nullptr));
}

}  // namespace
