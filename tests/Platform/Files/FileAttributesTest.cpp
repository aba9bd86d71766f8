#include "Platform/Files/FileAttributes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>

#include <chrono>
#include <fstream>

#include "Platform/Files/ExtendedAttributes.h"
#include "tools/ScratchDirectory.h"

namespace {

using namespace std::chrono;

TEST(FileAttributesTest, SizeAndDatesOfAFile) {
    testtools::ScratchDirectory dir;
    const std::string path = dir.join("f");
    const auto before = system_clock::now() - seconds(1);
    std::ofstream(path) << "12345";
    // A modification time far in the past: the creation date is the birth time, which the
    // change does not move; without a birth time it is this modification time.
    const timeval old[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(0, ::utimes(path.c_str(), old));

    auto attributes = platform::fileAttributesAtPath(path);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(5u, attributes->size);
    EXPECT_FALSE(attributes->isDirectory);
    EXPECT_EQ(system_clock::time_point(seconds(1000)), attributes->modificationDate);
    EXPECT_TRUE(attributes->creationDate >= before ||
                attributes->creationDate == attributes->modificationDate);

    auto directory = platform::fileAttributesAtPath(dir.path());
    ASSERT_TRUE(directory);
    EXPECT_TRUE(directory->isDirectory);
    EXPECT_FALSE(platform::fileAttributesAtPath(dir.join("missing")));
}

TEST(ExtendedAttributesTest, MarkIsSetReadAndRemoved) {
    testtools::ScratchDirectory dir;
    const std::string path = dir.join("f");
    std::ofstream(path) << "x";

    errno = 0;
    EXPECT_EQ(-1, platform::getExtendedAttributeSize(path, "log.archived"));
    EXPECT_EQ(platform::kNoAttributeError, errno);

    ASSERT_EQ(0, platform::setExtendedAttribute(path, "log.archived", ""));
    EXPECT_EQ(0, platform::getExtendedAttributeSize(path, "log.archived"));
    // Kept in the user namespace, where other tools see it.
    EXPECT_EQ(0, ::getxattr(path.c_str(), "user.log.archived", nullptr, 0));

    EXPECT_EQ(0, platform::removeExtendedAttribute(path, "log.archived"));
    errno = 0;
    EXPECT_EQ(-1, platform::removeExtendedAttribute(path, "log.archived"));
    EXPECT_EQ(platform::kNoAttributeError, errno);
    EXPECT_EQ(-1, platform::setExtendedAttribute(dir.join("missing"), "log.archived", ""));
    EXPECT_EQ(ENOENT, errno);
}

TEST(ExtendedAttributesTest, UnsupportedFileSystemFailsEveryCall) {
    testtools::ScratchDirectory dir;
    const std::string path = dir.join("f");
    std::ofstream(path) << "x";
    platform::setExtendedAttributesUnsupportedForTesting(true);
    EXPECT_EQ(-1, platform::setExtendedAttribute(path, "log.archived", ""));
    EXPECT_EQ(ENOTSUP, errno);
    EXPECT_EQ(-1, platform::getExtendedAttributeSize(path, "log.archived"));
    EXPECT_EQ(-1, platform::removeExtendedAttribute(path, "log.archived"));
    platform::setExtendedAttributesUnsupportedForTesting(false);
    EXPECT_EQ(0, platform::setExtendedAttribute(path, "log.archived", ""));
}

}  // namespace
