#include "Core/Responses/HTTPDynamicFileResponse.h"

#include <gtest/gtest.h>

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
