#include "Logging/LxLogFileInfo.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <fstream>
#include <string>

#include "Logging/LogFileTestSupport.h"
#include "Platform/Files/ExtendedAttributes.h"
#include "tools/LogCapture.h"
#include "tools/ScratchDirectory.h"

namespace {

using logging_test::carriesArchivedMark;
using logging_test::makeLogFile;

class LxLogFileInfoTest : public ::testing::Test {
protected:
    void TearDown() override { platform::setExtendedAttributesUnsupportedForTesting(false); }

    testtools::ScratchDirectory dir_{"pellix-logfileinfo-test"};
    testtools::LogCapture log_;
};

TEST_F(LxLogFileInfoTest, ReadsNameSizeDatesAndAge) {
    const std::string path = dir_.join("log-ABCDEF.txt");
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
    makeLogFile(path, "0123456789", false);

    LxLogFileInfo info(path);
    EXPECT_EQ(path, info.filePath());
    EXPECT_EQ("log-ABCDEF.txt", info.fileName());
    EXPECT_EQ(10u, info.fileSize());
    ASSERT_TRUE(info.creationDate());
    ASSERT_TRUE(info.modificationDate());
    EXPECT_GE(*info.creationDate(), before);
    EXPECT_GE(info.age(), 0.0);
    EXPECT_LT(info.age(), 60.0);

    // Attributes are cached: a later change shows only after reset() (the size once read stays).
    std::ofstream(path, std::ios::app) << "more";
    EXPECT_EQ(10u, info.fileSize());
    EXPECT_EQ(10u, info.fileAttributes()->size);
    info.reset();
    EXPECT_EQ(14u, info.fileAttributes()->size);

    LxLogFileInfo missing(dir_.join("log-000000.txt"));
    EXPECT_FALSE(missing.fileAttributes());
    EXPECT_FALSE(missing.creationDate());
    EXPECT_EQ(0u, missing.fileSize());
    EXPECT_EQ(0.0, missing.age());
}

TEST_F(LxLogFileInfoTest, ArchivedMarkIsKeptOnTheFile) {
    const std::string path = dir_.join("log-ABCDEF.txt");
    makeLogFile(path, "x", false);
    LxLogFileInfo info(path);
    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(true);
    EXPECT_TRUE(info.isArchived());
    EXPECT_TRUE(carriesArchivedMark(path));
    EXPECT_TRUE(LxLogFileInfo(path).isArchived());  // a fresh look at the same file
    info.setIsArchived(false);
    EXPECT_FALSE(carriesArchivedMark(path));
    // Removing a mark the file does not carry is silent.
    info.setIsArchived(false);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(LxLogFileInfoTest, AttributeFailuresAreLoggedAndOtherwiseIgnored) {
    const std::string path = dir_.join("log-ABCDEF.txt");
    makeLogFile(path, "x", false);
    LxLogFileInfo info(path);
    platform::setExtendedAttributesUnsupportedForTesting(true);
    info.setIsArchived(true);
    info.setIsArchived(false);
    EXPECT_FALSE(info.isArchived());
    EXPECT_EQ(std::vector<std::string>({"LxLogFileInfo: setxattr(log.archived, log-ABCDEF.txt): error = -1",
                                        "LxLogFileInfo: removexattr(log.archived, log-ABCDEF.txt): error = -1"}),
              log_.lines());
}

TEST_F(LxLogFileInfoTest, SortsNewestFirstByCreationDate) {
    makeLogFile(dir_.join("log-000001.txt"), "", false);
    makeLogFile(dir_.join("log-000002.txt"), "", false);
    LxLogFileInfo older(dir_.join("log-000001.txt"));
    LxLogFileInfo newer(dir_.join("log-000002.txt"));
    LxLogFileInfo missing(dir_.join("log-000003.txt"));
    EXPECT_TRUE(newer.reverseCompareByCreationDate(older) < 0);
    EXPECT_TRUE(older.reverseCompareByCreationDate(newer) > 0);
    EXPECT_TRUE(older.reverseCompareByCreationDate(older) == 0);
    EXPECT_TRUE(older.reverseCompareByCreationDate(missing) < 0);  // no date: the oldest

    // Modification dates can be set: the file written last comes first.
    const timeval early[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(0, ::utimes(newer.filePath().c_str(), early));
    newer.reset();
    EXPECT_TRUE(newer.reverseCompareByModificationDate(older) > 0);
}

TEST_F(LxLogFileInfoTest, RenameAdoptsTheNewPathEvenWhenItFails) {
    makeLogFile(dir_.join("log-000001.txt"), "one", false);
    makeLogFile(dir_.join("log-000002.txt"), "two", false);
    LxLogFileInfo info(dir_.join("log-000001.txt"));
    EXPECT_EQ(3u, info.fileSize());

    info.renameFile("log-000001.txt");  // the same name: nothing
    info.renameFile("log-00000A.txt");
    EXPECT_EQ(dir_.join("log-00000A.txt"), info.filePath());
    EXPECT_EQ("log-00000A.txt", info.fileName());
    EXPECT_EQ("one", logging_test::readFile(info.filePath()));
    EXPECT_TRUE(log_.lines().empty());

    // The name is taken: the file stays, the move is logged, the info follows the new name.
    info.renameFile("log-000002.txt");
    EXPECT_EQ(dir_.join("log-000002.txt"), info.filePath());
    EXPECT_EQ("one", logging_test::readFile(dir_.join("log-00000A.txt")));
    EXPECT_EQ("two", logging_test::readFile(dir_.join("log-000002.txt")));
    ASSERT_EQ(1u, log_.lines().size());
    EXPECT_EQ(0u, log_.lines()[0].rfind("LxLogFileInfo: Error renaming file (log-00000A.txt): Error Domain=", 0))
        << log_.lines()[0];
}

TEST_F(LxLogFileInfoTest, EqualByPathAndDescribedWithEveryKey) {
    makeLogFile(dir_.join("log-000001.txt"), "x", true);
    LxLogFileInfo info(dir_.join("log-000001.txt"));
    EXPECT_TRUE(info == *LxLogFileInfo::logFileWithPath(dir_.join("log-000001.txt")));
    EXPECT_FALSE(info == LxLogFileInfo(dir_.join("log-000002.txt")));

    const std::string description = info.description();
    for (const char* key : {"filePath = ", "fileName = log-000001.txt", "fileAttributes = {size = 1",
                            "creationDate = ", "modificationDate = ", "fileSize = 1", "age = ", "isArchived = 1"}) {
        EXPECT_NE(std::string::npos, description.find(key)) << key << " in " << description;
    }
}

}  // namespace
