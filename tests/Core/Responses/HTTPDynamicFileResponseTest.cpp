#include "Core/Responses/HTTPDynamicFileResponse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "Core/Responses/FileResponseTestSupport.h"

namespace {

using namespace file_response_test;

// The first read of a file takes this many bytes (the connection's piece size): a separator
// or key placed across it is split between two reads.
constexpr size_t kFirstRead = 524288;

TEST_F(FileResponseTest, DynamicResponseReplacesFramedKeys) {
    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"known keys", "Hello %%name%%, you have %%count%% messages.", "Hello Ada, you have 3 messages."},
        {"an unknown key stays with its separators", "a %%nobody%% b %%name%%", "a %%nobody%% b Ada"},
        {"keys side by side", "%%name%%%%count%%%%name%%", "Ada3Ada"},
        {"an empty value", "[%%empty%%]", "[]"},
        {"separators pair up in order", "100%% sure, %%name%%", "100%% sure, %%name%%"},
        {"an unclosed key at the end stays", "%%name%% and %%count", "Ada and %%count"},
        {"a key that is not UTF-8 stays", "%%\xFF\xFE%%", "%%\xFF\xFE%%"},
        {"no keys", "plain text", "plain text"},
        {"shorter than a separator", "%", "%"},
        {"an empty file", "", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "template" + std::to_string(n++) + ".txt";
        addFile(name, c.text);
        const Fetch got = fetch("/dynamic/" + name);
        EXPECT_EQ(got.exitStatus, 0);
        EXPECT_EQ(got.status, 200);
        EXPECT_EQ(got.body, c.expected);
        EXPECT_NE(got.header.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << got.header;
        EXPECT_EQ(got.header.find("Content-Length"), std::string::npos) << got.header;
    }
    EXPECT_FALSE(logged("HTTPAsyncFileResponse: Read EOF on file(" + root_.join("template9.txt") + ")"));
}

TEST_F(FileResponseTest, DynamicResponseFindsASeparatorOrKeySplitBetweenReads) {
    const std::string filler = randomBytes(kFirstRead, 11);
    auto clean = [](std::string bytes) {
        for (auto& b : bytes) {
            if (b == '%') b = '.';
        }
        return bytes;
    };
    const struct {
        const char* name;
        size_t at;  // where "%%name%%" begins
    } cases[] = {
        {"a separator split", kFirstRead - 1},
        {"a key split", kFirstRead - 4},
        {"a closing separator split", kFirstRead - 7},
        {"just before the split", kFirstRead - 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string head = clean(filler.substr(0, c.at));
        const std::string tail = clean(randomBytes(3000, static_cast<unsigned>(c.at)));
        addFile("split.bin", head + "%%name%%" + tail + "%%count%%");
        const Fetch got = fetch("/dynamic/split.bin");
        EXPECT_EQ(got.exitStatus, 0);
        EXPECT_TRUE(got.body == head + "Ada" + tail + "3");
    }
}

// Pulls the whole body of a dynamic response made without a connection, asking for
// firstLength bytes first and thenLength bytes every time after: each request is what one
// read of the file may take, so the lengths choose where reads end. nullopt when the body
// has not come whole within a generous deadline.
std::optional<std::string> pullBody(const std::shared_ptr<HTTPDynamicFileResponse>& response, size_t firstLength,
                                    size_t thenLength) {
    std::string body;
    size_t length = firstLength;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!response->isDone()) {
        const DataSlice piece = response->readDataOfLength(length);
        if (piece.empty()) {
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        body.append(piece.view());
        length = thenLength;
    }
    return body;
}

TEST_F(FileResponseTest, DynamicResponseIsTheSameWhereverReadsEnd) {
    const HTTPDynamicFileResponse::ReplacementDictionary dictionary = {
        {"name", "Ada"}, {"count", "3"}, {"pct", "%%"}, {"\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87", "\xD0\xB7\xD0\xBD"},
        {"g", std::string(300, 'y')},
    };
    const struct {
        const char* name;
        std::string separator;
        std::string text;
        std::string expected;
    } cases[] = {
        {"a closing separator followed by a lone one", "%%", "%%zz%%%name%%TAIL", "%%zz%%%name%%TAIL"},
        {"keys side by side", "%%", "%%name%%%%count%%", "Ada3"},
        {"the third separator opens the next key", "%%", "a%%%name%%b", "a%%%name%%b"},
        {"an empty key pairs two separators", "%%", "%%%%name%%", "%%%%name%%"},
        {"after a replacement", "%%", "x%%name%%%%%%count%%y", "xAda%%%%count%%y"},
        {"a replacement is not searched", "%%", "%%pct%%name%%", "%%name%%"},
        {"a key longer than any in the dictionary pairs its separators", "%%",
         "%%a key far longer than any%%name%%count%%", "%%a key far longer than any%%name3"},
        {"an unclosed key at the end", "%%", "ab%%name", "ab%%name"},
        {"a UTF-8 key", "%%", "<%%\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87%%>", "<\xD0\xB7\xD0\xBD>"},
        {"a replacement that grows the buffer", "%%", "[%%g%%]", "[" + std::string(300, 'y') + "]"},
        {"a separator that overlaps itself", "<%>", "<%<%>name<%>!", "<%Ada!"},
        {"a one-byte separator", "$", "$$$name$$count$", "$$Ada3"},
        {"an empty file", "%%", "", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = addFile("every-read" + std::to_string(n++) + ".txt", c.text);
        auto pull = [&](size_t first, size_t then) {
            auto response = HTTPDynamicFileResponse::create(path, nullptr, c.separator, dictionary);
            return response ? pullBody(response, first, then) : std::nullopt;
        };
        // Every read the same size, and the file split in two at every byte.
        for (size_t size = 1; size <= c.text.size() + 1; ++size) {
            SCOPED_TRACE("reads of " + std::to_string(size));
            EXPECT_EQ(pull(size, size), c.expected);
        }
        for (size_t split = 1; split < c.text.size(); ++split) {
            SCOPED_TRACE("split at " + std::to_string(split));
            EXPECT_EQ(pull(split, c.text.size()), c.expected);
        }
    }
}

TEST_F(FileResponseTest, DynamicResponseDoesNotDependOnWhereTheConnectionsReadsEnd) {
    // The connection's first piece ends inside the closing separator's run of three: a byte
    // held back from it must not open a key in the next read.
    const std::string head(kFirstRead - 6, 'a');
    addFile("boundary.txt", head + "%%zz%%%name%%TAIL");
    const Fetch got = fetch("/dynamic/boundary.txt");
    EXPECT_EQ(got.exitStatus, 0);
    EXPECT_EQ(got.status, 200);
    EXPECT_TRUE(got.body == head + "%%zz%%%name%%TAIL") << got.body.substr(head.size());
}

TEST_F(FileResponseTest, DynamicResponseHoldsNoMoreThanAKeyCanReach) {
    // A lone separator at the start: no key can be that long, so the bytes after it go on as
    // they are read instead of waiting for the end of the file.
    const std::string text = "%%" + std::string(16 * kFirstRead, 'b') + "%%name%%";
    addFile("lone.txt", text);
    const Fetch got = fetch("/dynamic/lone.txt");
    EXPECT_EQ(got.exitStatus, 0);
    EXPECT_TRUE(got.body == text);  // the second separator closes the long key: no replacement
    auto response = lastResponse().get<HTTPDynamicFileResponse>();
    ASSERT_NE(response, nullptr);
    EXPECT_LT(response->readBufferSize(), 2 * kFirstRead);
}

TEST_F(FileResponseTest, DynamicResponseGrowsAFullBufferForALongerReplacement) {
    const struct {
        const char* key;
        size_t growth;
    } cases[] = {
        {"g10", 256},  // 10 bytes more: at least 256
        {"g300", 300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        // Read whole in one go, the file fills its buffer exactly.
        const std::string text = "<" + std::string("%%") + c.key + "%%>";
        addFile("grow.txt", text);
        const Fetch got = fetch("/dynamic/grow.txt");
        EXPECT_EQ(got.body, "<" + kReplacements.at(c.key) + ">");
        auto response = lastResponse().get<HTTPDynamicFileResponse>();
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->readBufferSize(), text.size() + c.growth);
    }
}

TEST_F(FileResponseTest, DynamicResponseHasNoRanges) {
    addFile("ranged.txt", "0123 %%name%% 6789");
    const Fetch got = fetch("/dynamic/ranged.txt", {"--range", "0-3"});
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, "0123 Ada 6789");

    auto response = HTTPDynamicFileResponse::create(root_.join("ranged.txt"), nullptr, "%%", kReplacements);
    ASSERT_NE(response, nullptr);
    response->setOffset(5);
    EXPECT_EQ(response->offset(), 0u);
    EXPECT_TRUE(response->isChunked());
    EXPECT_EQ(response->contentLength(), 0u);
}

TEST_F(FileResponseTest, DynamicResponseWithoutSeparatorSendsTheFileAsItIs) {
    const std::string bytes = "a %%name%% b" + randomBytes(700000, 4);
    addFile("as-is.bin", bytes);
    const Fetch got = fetch("/plain-dynamic/as-is.bin");
    EXPECT_EQ(got.exitStatus, 0);
    EXPECT_TRUE(got.body == bytes);
}

}  // namespace
