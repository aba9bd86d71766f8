#include "Platform/Keychain/StoreFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "Platform/Keychain/KeychainTestHome.h"
#include "tools/DescriptorsUsedUp.h"

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

// A write or a lock that fails tells whether the reason may pass by itself, as a read does: out
// of descriptors, or an I/O error, may pass; a folder in the way or a missing parent stays.
TEST_F(StoreFileLockTest, FailedWritesAndLocksTellAPassingReason) {
    keychain_test::LockedTerminal terminal;
    if (terminal.slavePath().empty()) GTEST_SKIP() << "no pseudo-terminal";
    const std::string dir = root_ + "/store";
    std::filesystem::create_directories(dir + "/folder");
    std::filesystem::create_symlink(terminal.slavePath(), dir + "/terminal");
    const auto write = [&](const std::string& name, bool* passing) {
        return StoreFile::writeAtomically(dir + "/" + name, "contents", 0600, passing).has_value();
    };
    const auto lock = [&](const std::string& name, bool* passing) {
        return !StoreFile::lockForChange({dir}, name, passing);
    };
    struct Case {
        const char* title;
        std::function<bool(bool*)> fail;  // true when it failed
        bool usedUp;                      // with every descriptor taken
        bool passing;
    };
    const Case cases[] = {
        {"write out of descriptors", [&](bool* p) { return write("file", p); }, true, true},
        {"write into a missing folder", [&](bool* p) { return write("missing/file", p); }, false, false},
        {"write over a folder", [&](bool* p) { return write("folder", p); }, false, false},
        {"lock out of descriptors", [&](bool* p) { return lock(".lock", p); }, true, true},
        {"lock that opens with EIO", [&](bool* p) { return lock("terminal", p); }, false, true},
        {"lock that is a folder", [&](bool* p) { return lock("folder", p); }, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        bool passing = !c.passing;
        bool failed = false;
        if (c.usedUp) {
            testtools::DescriptorsUsedUp used;
            ASSERT_TRUE(used.usedUp());
            failed = c.fail(&passing);
        } else {
            failed = c.fail(&passing);
        }
        EXPECT_TRUE(failed);
        EXPECT_EQ(passing, c.passing);
    }
    EXPECT_FALSE(write("file", nullptr));
    bool passing = true;
    EXPECT_FALSE(lock(".lock", &passing));
    EXPECT_FALSE(passing);
}

}  // namespace
