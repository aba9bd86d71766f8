#include "Platform/Files/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

class TemporaryDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/pellix-tmpdir-test-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        parent_ = templ;
    }
    void TearDown() override { fs::remove_all(parent_); }
    std::string expected() const { return parent_ + "/pellix-" + std::to_string(::getuid()); }
    std::string parent_;
};

TEST_F(TemporaryDirectoryTest, TmpdirWinsWithoutTrailingSlash) {
    EXPECT_EQ(platform::TemporaryDirectory::resolve(std::string("/var/x/"), parent_, ::getuid()), "/var/x");
    EXPECT_EQ(platform::TemporaryDirectory::resolve(std::string("/var/y"), parent_, ::getuid()), "/var/y");
}

TEST_F(TemporaryDirectoryTest, FallbackIsCreatedPrivate) {
    for (const auto& env : {std::optional<std::string>(), std::optional<std::string>("")}) {
        auto dir = platform::TemporaryDirectory::resolve(env, parent_, ::getuid());
        ASSERT_TRUE(dir);
        EXPECT_EQ(*dir, expected());
        struct stat st {};
        ASSERT_EQ(::lstat(dir->c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
}

TEST_F(TemporaryDirectoryTest, LooseModeIsTightened) {
    ASSERT_EQ(::mkdir(expected().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(expected().c_str(), 0777), 0);
    ASSERT_TRUE(platform::TemporaryDirectory::resolve(std::nullopt, parent_, ::getuid()));
    struct stat st {};
    ASSERT_EQ(::lstat(expected().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(TemporaryDirectoryTest, SymbolicLinkIsRefused) {
    std::string target = parent_ + "/elsewhere";
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(target.c_str(), expected().c_str()), 0);
    EXPECT_FALSE(platform::TemporaryDirectory::resolve(std::nullopt, parent_, ::getuid()));
}

TEST_F(TemporaryDirectoryTest, PlainFileIsRefused) {
    FILE* f = std::fopen(expected().c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(platform::TemporaryDirectory::resolve(std::nullopt, parent_, ::getuid()));
}

TEST_F(TemporaryDirectoryTest, DirectoryOfAnotherUserIsRefused) {
    // Our own directory, looked at as if we were someone else.
    ASSERT_TRUE(platform::TemporaryDirectory::resolve(std::nullopt, parent_, ::getuid()));
    uid_t other = ::getuid() + 1;
    std::string otherDir = parent_ + "/pellix-" + std::to_string(other);
    ASSERT_EQ(::rename(expected().c_str(), otherDir.c_str()), 0);
    EXPECT_FALSE(platform::TemporaryDirectory::resolve(std::nullopt, parent_, other));
}

TEST(TemporaryDirectoryJoin, AddsOneSeparator) {
    EXPECT_EQ(platform::TemporaryDirectory::join("/a", "12"), "/a/12");
    EXPECT_EQ(platform::TemporaryDirectory::join("/a/", "12"), "/a/12");
}

TEST(TemporaryDirectoryPath, FollowsTmpdir) {
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    ::setenv("TMPDIR", "/some/where/", 1);
    EXPECT_EQ(platform::TemporaryDirectory::path(), "/some/where");
    if (old) ::setenv("TMPDIR", saved.c_str(), 1); else ::unsetenv("TMPDIR");
}

}  // namespace
