#include "Core/Responses/HTTPAsyncFileResponse.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Core/Responses/FileResponseTestSupport.h"

namespace {

using namespace file_response_test;

// How many of the process's descriptors name the file.
size_t descriptorsOn(const std::string& path) {
    size_t count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        if (std::filesystem::read_symlink(entry.path(), ec) == path) ++count;
    }
    return count;
}

// Whole files, ranges and a shrinking file are tested with the synchronous response, in the
// same tables (HTTPFileResponseTest.cpp).

TEST_F(FileResponseTest, AsyncResponseClosesItsFileWhenTheConnectionIsDone) {
    const std::string path = addFile("kept.bin", randomBytes(200000, 3));
    const Fetch got = fetch("/async/kept.bin");
    EXPECT_EQ(got.status, 200);
    auto response = lastResponse().get<HTTPAsyncFileResponse>();
    ASSERT_NE(response, nullptr);
    EXPECT_TRUE(response->isAsynchronous());
    EXPECT_TRUE(response->isDone());
    EXPECT_TRUE(testtools::eventually([&] { return descriptorsOn(path) == 0; }));
}

TEST_F(FileResponseTest, AsyncResponseDroppedWithoutItsConnectionClosesItsFile) {
    const std::string path = addFile("dropped.bin", "0123456789");
    {
        auto response = HTTPAsyncFileResponse::create(path, nullptr);
        ASSERT_NE(response, nullptr);
        EXPECT_TRUE(response->readDataOfLength(4).empty());  // opens the file and starts a read
        EXPECT_EQ(descriptorsOn(path), 1u);
        // The read comes through even with no connection to announce it to.
        DataSlice piece;
        ASSERT_TRUE(testtools::eventually([&] {
            piece = response->readDataOfLength(4);
            return !piece.empty();
        }));
        EXPECT_EQ(piece.view(), "0123");
        EXPECT_EQ(response->offset(), 4u);
    }
    EXPECT_TRUE(testtools::eventually([&] { return descriptorsOn(path) == 0; }));
}

}  // namespace
