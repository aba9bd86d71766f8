#include "Logging/LxLogFileManagerDefault.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LogFileTestSupport.h"
#include "Logging/LxLog.h"
#include "Platform/Crypto/SecureRandom.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Format.h"
#include "Platform/ThreadInfo.h"
#include "tools/LogCapture.h"
#include "tools/ScratchDirectory.h"
#include "tools/ScriptedRandom.h"

namespace {

using logging_test::makeLogFile;

class LxLogFileManagerDefaultTest : public ::testing::Test {
protected:
    // The names in the directory, sorted.
    std::vector<std::string> names() {
        auto all = platform::FileManager::contentsOfDirectoryAtPath(dir_.path()).value_or(std::vector<std::string>{});
        std::sort(all.begin(), all.end());
        return all;
    }

    testtools::ScratchDirectory dir_{"pellix-logfilemanager-test"};
    testtools::LogCapture log_;
};

TEST_F(LxLogFileManagerDefaultTest, TellsLogFilesByName) {
    struct Case {
        const char* name;
        bool isLogFile;
    };
    constexpr Case cases[] = {
        {"log-0A1B2C.txt", true},
        {"log-ABCDEF", true},           // ten characters, no extension
        {"log-ABCDEF.anything", true},  // nothing after the digits is checked
        {"log-abcdef.txt", false},      // lower-case hexadecimal
        {"log-ABCDE", false},           // too short
        {"log-ABCDEG.txt", false},
        {"Log-ABCDEF.txt", false},
        {"xlog-ABCDEF.txt", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.isLogFile, LxLogFileManagerDefault::isLogFile(c.name));
    }
}

TEST_F(LxLogFileManagerDefaultTest, DefaultDirectoryFollowsTheStateDirectory) {
    struct Case {
        std::optional<std::string> xdgStateHome;
        std::optional<std::string> home;
        const char* expected;
    };
    const Case cases[] = {
        {"/x/state", "/home/u", "/x/state/pellix"},
        {"/x/state/", "/home/u", "/x/state/pellix"},
        {std::nullopt, "/home/u", "/home/u/.local/state/pellix"},
        {"", "/home/u/", "/home/u/.local/state/pellix"},
        {"relative/state", "/home/u", "/home/u/.local/state/pellix"},  // not absolute: ignored
        {std::nullopt, std::nullopt, "/tmp/pellix-0/pellix"},
        {std::nullopt, "", "/tmp/pellix-0/pellix"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.expected, LxLogFileManagerDefault::defaultLogsDirectoryFor(c.xdgStateHome, c.home, "/tmp/pellix-0", "pellix"));
    }
    ::setenv("XDG_STATE_HOME", dir_.path().c_str(), 1);
    EXPECT_EQ(dir_.join(platform::processName()), LxLogFileManagerDefault::defaultLogsDirectory());
    EXPECT_EQ(dir_.join(platform::processName()), LxLogFileManagerDefault().logsDirectory());
    ::unsetenv("XDG_STATE_HOME");
}

TEST_F(LxLogFileManagerDefaultTest, MakesTheDirectoryWhenMissingAndLogsAFailureOnce) {
    LxLogFileManagerDefault manager(dir_.join("a/b/logs"));
    EXPECT_EQ(dir_.join("a/b/logs"), manager.logsDirectory());
    struct stat st {};
    ASSERT_EQ(0, ::stat(dir_.join("a/b/logs").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // Under a plain file no directory can be made: the listings are empty, one line is logged.
    std::ofstream(dir_.join("file")) << "x";
    LxLogFileManagerDefault blocked(dir_.join("file/logs"));
    EXPECT_EQ(dir_.join("file/logs"), blocked.logsDirectory());
    EXPECT_TRUE(blocked.sortedLogFileInfos().empty());
    EXPECT_TRUE(blocked.unsortedLogFileNames().empty());
    ASSERT_EQ(1u, log_.lines().size());
    EXPECT_EQ(0u, log_.lines()[0].rfind("LxFileLogManagerDefault: Error creating logsDirectory: Error Domain=NSPOSIXErrorDomain Code=20 ", 0))
        << log_.lines()[0];
}

TEST_F(LxLogFileManagerDefaultTest, NewFileHasAFreshUpperCaseHexadecimalName) {
    LxLogFileManagerDefault manager(dir_.path());
    auto path = manager.createNewLogFile();
    ASSERT_TRUE(path);
    EXPECT_TRUE(std::regex_match(*path, std::regex(dir_.path() + "/log-[0-9A-F]{6}\\.txt"))) << *path;
    EXPECT_EQ("", logging_test::readFile(*path));
    EXPECT_EQ(std::vector<std::string>{*path}, manager.unsortedLogFilePaths());
}

TEST_F(LxLogFileManagerDefaultTest, NewFileNameSkipsTakenNamesAndNeedsTheRandomSource) {
    makeLogFile(dir_.join("log-0000FF.txt"), "taken", true);
    LxLogFileManagerDefault manager(dir_.path());
    {
        // The first draw is taken, the second is free; then the source runs dry.
        testtools::ScriptedRandom random({0x00, 0x00, 0xFF, 0x0a, 0xbc, 0x01});
        EXPECT_EQ(dir_.join("log-0ABC01.txt"), manager.createNewLogFile());
        EXPECT_EQ(std::nullopt, manager.createNewLogFile());
    }
    EXPECT_EQ("taken", logging_test::readFile(dir_.join("log-0000FF.txt")));
    EXPECT_EQ(std::vector<std::string>({"log-0000FF.txt", "log-0ABC01.txt"}), names());
}

TEST_F(LxLogFileManagerDefaultTest, ListsOnlyLogFilesNewestFirst) {
    makeLogFile(dir_.join("log-00000A.txt"), "", true);
    makeLogFile(dir_.join("log-abcdef.txt"), "", false);
    makeLogFile(dir_.join("notes.txt"), "", false);
    makeLogFile(dir_.join("log-00000C.txt"), "", true);
    makeLogFile(dir_.join("log-00000B.txt"), "", false);
    LxLogFileManagerDefault manager(dir_.path());
    EXPECT_EQ(std::vector<std::string>({"log-00000B.txt", "log-00000C.txt", "log-00000A.txt"}), manager.sortedLogFileNames());
    EXPECT_EQ(std::vector<std::string>({dir_.join("log-00000B.txt"), dir_.join("log-00000C.txt"), dir_.join("log-00000A.txt")}),
              manager.sortedLogFilePaths());
    auto unsorted = manager.unsortedLogFileNames();
    std::sort(unsorted.begin(), unsorted.end());
    EXPECT_EQ(std::vector<std::string>({"log-00000A.txt", "log-00000B.txt", "log-00000C.txt"}), unsorted);
}

TEST_F(LxLogFileManagerDefaultTest, DeletionKeepsTheCurrentFileAndTheNewestArchivedOnes) {
    struct Case {
        const char* title;
        uint64_t keep;
        bool currentArchived;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        // Seven archived files beside the current one: the two oldest go.
        {"keep 5", 5, false, {"log-000003.txt", "log-000004.txt", "log-000005.txt", "log-000006.txt", "log-000007.txt", "log-000008.txt"}},
        {"keep 1", 1, false, {"log-000007.txt", "log-000008.txt"}},
        // The newest file archived too: it counts as one of the kept.
        {"newest archived", 2, true, {"log-000007.txt", "log-000008.txt"}},
        {"keep all", 0, false, {"log-000001.txt", "log-000002.txt", "log-000003.txt", "log-000004.txt", "log-000005.txt",
                                "log-000006.txt", "log-000007.txt", "log-000008.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        testtools::ScratchDirectory dir("pellix-logfilemanager-test");
        for (int i = 1; i <= 7; ++i) makeLogFile(dir.join("log-00000" + std::to_string(i) + ".txt"), "", true);
        makeLogFile(dir.join("log-000008.txt"), "current", c.currentArchived);
        makeLogFile(dir.join("other.txt"), "", false);

        auto manager = std::make_shared<LxLogFileManagerDefault>(dir.path());
        manager->setMaximumNumberOfLogFiles(c.keep);
        LxLog::flushLog();  // the pass of a changed limit runs on the hub's queue
        manager->deleteOldLogFiles();
        auto left = manager->unsortedLogFileNames();
        std::sort(left.begin(), left.end());
        EXPECT_EQ(c.left, left);
        EXPECT_TRUE(platform::FileManager::fileExistsAtPath(dir.join("other.txt")));
    }
}

TEST_F(LxLogFileManagerDefaultTest, ChangedLimitDeletesOnTheHubQueueAndAnEqualOneDoesNot) {
    for (int i = 1; i <= 7; ++i) makeLogFile(dir_.join("log-00000" + std::to_string(i) + ".txt"), "", true);
    auto manager = std::make_shared<LxLogFileManagerDefault>(dir_.path());
    EXPECT_EQ(5u, manager->maximumNumberOfLogFiles());

    manager->setMaximumNumberOfLogFiles(5);  // the current value: no pass
    LxLog::flushLog();
    EXPECT_EQ(7u, names().size());

    manager->setMaximumNumberOfLogFiles(3);
    LxLog::flushLog();
    EXPECT_EQ(std::vector<std::string>({"log-000005.txt", "log-000006.txt", "log-000007.txt"}), names());

    // A new file is followed by a pass as well.
    manager->setMaximumNumberOfLogFiles(0);
    LxLog::flushLog();
    auto path = manager->createNewLogFile();
    ASSERT_TRUE(path);
    EXPECT_EQ(4u, names().size());
    manager->setMaximumNumberOfLogFiles(1);
    LxLog::flushLog();
    std::vector<std::string> expected = {"log-000007.txt", path->substr(dir_.path().size() + 1)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, names());
}

// Makes the files (in this order, each holding its name) within one tick of the coarse clock
// that stamps birth times, so that they all share one creation date. False when no try
// managed it.
bool makeFilesBornTogether(const std::vector<std::string>& paths) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (const std::string& path : paths) std::ofstream(path) << path;
        const auto born = LxLogFileInfo(paths.front()).creationDate();
        if (std::all_of(paths.begin(), paths.end(),
                        [&](const std::string& path) { return LxLogFileInfo(path).creationDate() == born; }))
            return true;
        for (const std::string& path : paths) ::unlink(path.c_str());
    }
    return false;
}

TEST_F(LxLogFileManagerDefaultTest, RegressionFileBornWithTheArchivedOneIsNotDeletedAsOld) {
    // A roll archives a file and makes the next one within one tick of the coarse clock that
    // stamps birth times. Both then share a creation date, and the listing (in order of
    // making) put the archived file first: a deletion pass took the new file for an old one.
    auto manager = std::make_shared<LxLogFileManagerDefault>(dir_.path());
    ASSERT_TRUE(makeFilesBornTogether({dir_.join("log-00000A.txt"), dir_.join("log-00000B.txt")}))
        << "no two files born in the same tick";
    LxLogFileInfo(dir_.join("log-00000A.txt")).setIsArchived(true);

    EXPECT_EQ(std::vector<std::string>({"log-00000B.txt", "log-00000A.txt"}), manager->sortedLogFileNames());
    manager->setMaximumNumberOfLogFiles(1);
    LxLog::flushLog();
    manager->deleteOldLogFiles();
    EXPECT_EQ(std::vector<std::string>({"log-00000A.txt", "log-00000B.txt"}), names());
}

TEST_F(LxLogFileManagerDefaultTest, RegressionMarksChangingDuringASortNeverRunItOffTheList) {
    // The logger's queue archives files while a deletion pass on the hub's queue sorts them.
    // Among files born in one tick the order rests on the marks alone, and a sort that read
    // each mark anew at every comparison saw them change halfway and ran past the start of
    // the list (a crash, or files lost and doubled).
    std::vector<std::string> paths;
    for (int i = 0; i < 16; ++i) paths.push_back(dir_.join(platform::format("log-%06X.txt", i)));
    ASSERT_TRUE(makeFilesBornTogether(paths)) << "no 16 files born in the same tick";
    LxLogFileManagerDefault manager(dir_.path());

    std::atomic<bool> sorting{true};
    std::thread archiver([&] {
        for (bool archived = true; sorting; archived = !archived) {
            for (size_t i = 0; i < paths.size(); i += 2) LxLogFileInfo(paths[i]).setIsArchived(archived);
        }
    });
    auto expected = paths;
    for (int round = 0; round < 5000; ++round) {
        auto names = manager.sortedLogFilePaths();
        std::sort(names.begin(), names.end());
        ASSERT_EQ(expected, names) << "round " << round;
    }
    sorting = false;
    archiver.join();
}

}  // namespace
