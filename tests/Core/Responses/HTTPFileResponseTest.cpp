#include "Core/Responses/HTTPFileResponse.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Core/Responses/FileResponseTestSupport.h"

namespace {

using namespace file_response_test;

constexpr size_t kFiveMiB = 5 * 1024 * 1024;

// ----- The initialiser and reads, without a connection --------------------------------------

TEST_F(FileResponseTest, NoResponseWithoutAFileAfterTheWarning) {
    using Make = std::function<std::shared_ptr<HTTPResponse>(const std::optional<std::string>&)>;
    const struct {
        const char* file;
        Make make;
    } kinds[] = {
        {"HTTPFileResponse", [](const auto& path) { return HTTPFileResponse::create(path, nullptr); }},
        {"HTTPAsyncFileResponse", [](const auto& path) { return HTTPAsyncFileResponse::create(path, nullptr); }},
        {"HTTPAsyncFileResponse",
         [](const auto& path) { return HTTPDynamicFileResponse::create(path, nullptr, "%%", {}); }},
    };
    const std::string missing = root_.join("missing.txt");
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.file);
        EXPECT_EQ(kind.make(missing), nullptr);
        EXPECT_TRUE(logged(std::string(kind.file) + ": Init failed - Unable to get file attributes. filePath: " + missing));
        EXPECT_EQ(kind.make(std::nullopt), nullptr);
        EXPECT_TRUE(logged(std::string(kind.file) + ": Init failed - Nil filePath"));
    }
}

TEST_F(FileResponseTest, SyncReadsReturnNoMoreThanIsLeft) {
    const std::string path = addFile("25.bin", "0123456789abcdefghijKLMNO");
    std::filesystem::create_symlink(path, root_.join("link.bin"));
    auto response = HTTPFileResponse::create(root_.join("link.bin"), nullptr);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->filePath(), std::filesystem::canonical(path).string());  // links resolved
    EXPECT_EQ(response->contentLength(), 25u);
    EXPECT_EQ(response->readDataOfLength(10).view(), "0123456789");
    EXPECT_EQ(response->readDataOfLength(10).view(), "abcdefghij");
    EXPECT_FALSE(response->isDone());
    EXPECT_EQ(response->readDataOfLength(10).view(), "KLMNO");
    EXPECT_TRUE(response->isDone());
    response->setOffset(20);
    EXPECT_EQ(response->offset(), 20u);
    EXPECT_EQ(response->readDataOfLength(524288).view(), "KLMNO");
}

// ----- Whole files and ranges through a connection, with curl --------------------------------

struct Kind {
    const char* name;
    const char* prefix;
};
constexpr Kind kKinds[] = {{"sync", ""}, {"async", "/async"}};

TEST_F(FileResponseTest, WholeFilesArriveByteExact) {
    const struct {
        const char* name;
        size_t length;
    } files[] = {{"empty.bin", 0}, {"one.bin", 1}, {"sixteen.bin", 16384}, {"five.bin", kFiveMiB}};
    for (const auto& file : files) addFile(file.name, randomBytes(file.length, static_cast<unsigned>(file.length)));
    for (const auto& kind : kKinds) {
        for (const auto& file : files) {
            SCOPED_TRACE(std::string(kind.name) + " " + file.name);
            const Fetch got = fetch(std::string(kind.prefix) + "/" + file.name);
            EXPECT_EQ(got.exitStatus, 0);
            EXPECT_EQ(got.status, 200);
            EXPECT_NE(got.header.find("Content-Length: " + std::to_string(file.length) + "\r\n"), std::string::npos)
                << got.header;
            EXPECT_TRUE(got.body == randomBytes(file.length, static_cast<unsigned>(file.length)));
        }
    }
}

TEST_F(FileResponseTest, RangesAreTheFilesBytes) {
    const std::string bytes = randomBytes(kFiveMiB, 5);
    addFile("five.bin", bytes);
    const struct {
        const char* range;
        size_t from;
        size_t length;
    } ranges[] = {
        {"0-99", 0, 100},
        {"100-", 100, kFiveMiB - 100},
        {"-500", kFiveMiB - 500, 500},
        {"0-0", 0, 1},
        {"5242879-", kFiveMiB - 1, 1},
        {"524287-1048577", 524287, 524291},
    };
    for (const auto& kind : kKinds) {
        for (const auto& r : ranges) {
            SCOPED_TRACE(std::string(kind.name) + " " + r.range);
            const Fetch got = fetch(std::string(kind.prefix) + "/five.bin", {"--range", r.range});
            EXPECT_EQ(got.exitStatus, 0);
            EXPECT_EQ(got.status, 206);
            EXPECT_TRUE(got.body == bytes.substr(r.from, r.length));
        }
        SCOPED_TRACE(std::string(kind.name) + " two ranges");
        const Fetch got = fetch(std::string(kind.prefix) + "/five.bin", {"--range", "10-19,3000000-3000009"});
        EXPECT_EQ(got.status, 206);
        EXPECT_NE(got.body.find("Content-Range: bytes 10-19/5242880\r\n\r\n" + bytes.substr(10, 10)), std::string::npos);
        EXPECT_NE(got.body.find("Content-Range: bytes 3000000-3000009/5242880\r\n\r\n" + bytes.substr(3000000, 10)),
                  std::string::npos);
    }
}

TEST_F(FileResponseTest, FileThatShrinksEndsWithTheEOFLineAndTheConnectionClosing) {
    const struct {
        const char* prefix;
        const char* file;
    } kinds[] = {{"/shrink", "HTTPFileResponse"}, {"/shrink-async", "HTTPAsyncFileResponse"}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.prefix);
        const std::string bytes = randomBytes(1 << 20, 9);
        const std::string path = addFile("shrinking.bin", bytes);
        const Fetch got = fetch(std::string(kind.prefix) + "/shrinking.bin");
        EXPECT_EQ(got.exitStatus, 18);  // curl: the transfer ended before its length
        EXPECT_EQ(got.status, 200);
        EXPECT_TRUE(got.body == bytes.substr(0, kShrunkLength));
        EXPECT_TRUE(logged(std::string(kind.file) + ": Read EOF on file(" +
                           (kind.file == std::string("HTTPFileResponse") ? std::filesystem::canonical(path).string() : path) +
                           ")"));
        EXPECT_TRUE(testtools::eventually([&] { return server_->numberOfHTTPConnections() == 0; }));
    }
}

TEST_F(FileResponseTest, FileThatCannotBeOpenedAbortsAfterTheHeader) {
    const struct {
        const char* prefix;
        const char* line;  // the log line up to the path
    } kinds[] = {{"/vanish", "]: Unable to open file. filePath: "},
                 {"/vanish-async", "HTTPAsyncFileResponse: Unable to open file. filePath: "}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.prefix);
        const std::string path = addFile("vanishing.bin", "soon gone");
        const std::string served = std::filesystem::canonical(path).string();
        const Fetch got = fetch(std::string(kind.prefix) + "/vanishing.bin");
        EXPECT_EQ(got.exitStatus, 18);  // the header went out, then the connection closed
        EXPECT_TRUE(got.body.empty());
        LxLog::flushLog();
        const auto texts = logger_->texts();
        EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& t) {
            return t.size() > served.size() && t.compare(t.size() - served.size(), served.size(), served) == 0 &&
                   t.find(kind.line) != std::string::npos;
        }));
        EXPECT_TRUE(testtools::eventually([&] { return server_->numberOfHTTPConnections() == 0; }));
    }
}

TEST_F(FileResponseTest, OnlyFilesUnderTheRootAreServed) {
    std::filesystem::create_directory(root_.join("folder"));
    addFile("folder/inside.txt", "inside");
    const struct {
        const char* path;
        int status;
    } cases[] = {
        {"/folder/inside.txt", 200},
        {"/folder", 404},          // a directory without an index file
        {"/folder/../../etc/passwd", 404},
        {"/missing.txt", 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Fetch got = fetch(c.path, {"--path-as-is"});
        EXPECT_EQ(got.status, c.status);
    }
}

TEST_F(FileResponseTest, APathHoldingANulIsNotFound) {
    // The C calls would stop at the NUL and serve hidden.txt, past any check of the name's end.
    addFile("hidden.txt", "hidden");
    const struct {
        const char* path;
        int status;
    } cases[] = {
        {"/hidden.txt", 200},
        {"/hidden.txt%00.png", 404},
        {"/hidden.txt%00", 404},
        {"/async/hidden.txt%00.png", 404},
        {"/dynamic/hidden.txt%00.png", 404},
        {"/%00/hidden.txt", 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Fetch got = fetch(c.path, {"--path-as-is"});
        EXPECT_EQ(got.exitStatus, 0);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.body, c.status == 200 ? "hidden" : "");
    }

    // Each file response refuses such a path itself, whoever made it.
    const std::string path = root_.join("hidden.txt") + std::string(1, '\0') + ".png";
    EXPECT_TRUE(HTTPFileResponse::create(path, nullptr) == nullptr);
    EXPECT_TRUE(HTTPAsyncFileResponse::create(path, nullptr) == nullptr);
    EXPECT_TRUE(HTTPDynamicFileResponse::create(path, nullptr, "%%", kReplacements) == nullptr);
}

}  // namespace
