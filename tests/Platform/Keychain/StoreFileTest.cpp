#include "Platform/Keychain/StoreFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Platform/Keychain/KeychainTestHome.h"

namespace {

using platform::StoreFile;

class StoreFileLockTest : public keychain_test::TemporaryHome {};

TEST_F(StoreFileLockTest, LockForChangeMakesPrivateDirectoriesAndHoldsTheLock) {
    const std::string outer = root_ + "/a";
    const std::string inner = root_ + "/a/b/c";
    auto lock = StoreFile::lockForChange({outer, inner}, ".lock");
    ASSERT_TRUE(lock);
    EXPECT_TRUE(lock->held());
    EXPECT_EQ(keychain_test::modeOf(outer), 0700u);
    EXPECT_EQ(keychain_test::modeOf(inner), 0700u);
    EXPECT_TRUE(std::filesystem::exists(inner + "/.lock"));
    EXPECT_TRUE(log_->lines().empty());
}

// Every failure is the store's: nothing is locked and the directory is named in the log.
TEST_F(StoreFileLockTest, LockForChangeFailuresAreLoggedAndHoldNothing) {
    std::ofstream(root_ + "/file") << "not a directory";
    struct Case {
        const char* name;
        std::vector<std::string> directories;
        std::string lockName;
        std::string logged;  // the start of the one line logged, or empty for none
    };
    const Case cases[] = {
        {"a directory cannot be made", {root_ + "/ok", root_ + "/file/sub"}, ".lock",
         "Keychain store " + root_ + "/file/sub cannot be written: "},
        {"the lock file cannot be opened", {root_ + "/ok"}, "missing/.lock",
         "Keychain store " + root_ + "/ok cannot be written: "},
        {"no directory", {}, ".lock", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        EXPECT_FALSE(StoreFile::lockForChange(c.directories, c.lockName));
        const auto lines = log_->lines();
        if (c.logged.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].rfind(c.logged, 0), 0u) << lines[0];
        }
    }
}

}  // namespace
