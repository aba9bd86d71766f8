#include "Platform/Files/FileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using platform::FileManager;

class FileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/pellix-files-test-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override { fs::remove_all(dir_); }
    size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator())); }
    std::string dir_;
};

TEST_F(FileManagerTest, AtomicWriteIsPrivateAndLeavesNoTemporaryFile) {
    std::string path = dir_ + "/42";
    ::umask(022);
    ASSERT_FALSE(FileManager::writeAtomically(path, {1, 2, 3}));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(FileManager::contentsAtPath(path), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(entries(), 1u);

    // Replacing keeps the one name and the private mode.
    ASSERT_FALSE(FileManager::writeAtomically(path, {}));
    EXPECT_EQ(FileManager::contentsAtPath(path), std::vector<uint8_t>{});
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FileManagerTest, WriteIntoMissingDirectoryFails) {
    auto error = FileManager::writeAtomically(dir_ + "/nowhere/1", {1});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, platform::kPosixDomain);
    EXPECT_EQ(error->code, ENOENT);
}

TEST_F(FileManagerTest, ReadRefusesMissingFilesDirectoriesAndLinks) {
    std::string file = dir_ + "/1";
    ASSERT_FALSE(FileManager::writeAtomically(file, {9}));
    std::string link = dir_ + "/2";
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    EXPECT_FALSE(FileManager::contentsAtPath(dir_ + "/missing"));
    EXPECT_FALSE(FileManager::contentsAtPath(dir_));
    EXPECT_FALSE(FileManager::contentsAtPath(link));
}

TEST_F(FileManagerTest, RemoveReportsMissingFile) {
    std::string path = dir_ + "/7";
    ASSERT_FALSE(FileManager::writeAtomically(path, {1}));
    EXPECT_TRUE(FileManager::fileExistsAtPath(path));
    EXPECT_FALSE(FileManager::removeItemAtPath(path));
    EXPECT_FALSE(FileManager::fileExistsAtPath(path));
    auto error = FileManager::removeItemAtPath(path);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENOENT);
}

TEST_F(FileManagerTest, DirectoryIsMadeWithItsParentsAndListed) {
    const std::string nested = dir_ + "/a/b/c";
    ASSERT_FALSE(FileManager::createDirectoryAtPath(nested));
    struct stat st {};
    ASSERT_EQ(::stat((dir_ + "/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);  // private to the user
    EXPECT_FALSE(FileManager::createDirectoryAtPath(nested + "/"));  // exists already: fine

    ASSERT_FALSE(FileManager::createEmptyFileAtPath(nested + "/f"));
    EXPECT_EQ(FileManager::contentsAtPath(nested + "/f"), std::vector<uint8_t>{});
    auto twice = FileManager::createEmptyFileAtPath(nested + "/f");
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->code, EEXIST);
    auto underFile = FileManager::createDirectoryAtPath(nested + "/f/g");
    ASSERT_TRUE(underFile);
    EXPECT_EQ(underFile->code, ENOTDIR);
    auto overFile = FileManager::createDirectoryAtPath(nested + "/f");
    ASSERT_TRUE(overFile);
    EXPECT_EQ(overFile->code, ENOTDIR);

    auto names = FileManager::contentsOfDirectoryAtPath(dir_ + "/a/b");
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, std::vector<std::string>{"c"});
    EXPECT_FALSE(FileManager::contentsOfDirectoryAtPath(dir_ + "/missing"));
}

TEST_F(FileManagerTest, DirectoryCallsTakeALinkToADirectoryAsThatDirectory) {
    ASSERT_FALSE(FileManager::createDirectoryAtPath(dir_ + "/real"));
    ASSERT_FALSE(FileManager::createEmptyFileAtPath(dir_ + "/real/f"));
    ASSERT_EQ(::symlink((dir_ + "/real").c_str(), (dir_ + "/link").c_str()), 0);
    EXPECT_FALSE(FileManager::createDirectoryAtPath(dir_ + "/link"));
    EXPECT_EQ(FileManager::contentsOfDirectoryAtPath(dir_ + "/link"), std::vector<std::string>{"f"});

    // A link to anything else is no directory.
    ASSERT_EQ(::symlink((dir_ + "/real/f").c_str(), (dir_ + "/fileLink").c_str()), 0);
    auto error = FileManager::createDirectoryAtPath(dir_ + "/fileLink");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENOTDIR);
    EXPECT_FALSE(FileManager::contentsOfDirectoryAtPath(dir_ + "/fileLink"));
}

TEST_F(FileManagerTest, MoveNeverReplacesAnItem) {
    ASSERT_FALSE(FileManager::writeAtomically(dir_ + "/1", {1}));
    ASSERT_FALSE(FileManager::writeAtomically(dir_ + "/2", {2}));
    auto error = FileManager::moveItemAtPath(dir_ + "/1", dir_ + "/2");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EEXIST);
    EXPECT_EQ(FileManager::contentsAtPath(dir_ + "/2"), std::vector<uint8_t>{2});
    ASSERT_FALSE(FileManager::moveItemAtPath(dir_ + "/1", dir_ + "/3"));
    EXPECT_EQ(FileManager::contentsAtPath(dir_ + "/3"), std::vector<uint8_t>{1});
    EXPECT_FALSE(FileManager::fileExistsAtPath(dir_ + "/1"));
}

}  // namespace
