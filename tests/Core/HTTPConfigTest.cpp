#include "Core/HTTPConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Core/HTTPConnection.h"
#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"

namespace {

TEST(HTTPConfig, DocumentRootIsStandardizedWhenAQueueIsGiven) {
    struct Case {
        const char* given;
        const char* stored;
    } cases[] = {
        {"/srv/www", "/srv/www"},   {"/srv/www/", "/srv/www"},     {"/srv/./a/../www//", "/srv/www"},
        {"/", "//"},                {"/..", "//"},                 {"rel/../x/", "x"},
    };
    auto queue = platform::DispatchQueue::createSerial("HTTPConnection");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        auto config = HTTPConfig::initWithServer({}, std::string(c.given), queue);
        EXPECT_EQ(config->documentRoot(), std::optional<std::string>(c.stored));
        EXPECT_EQ(config->queue(), queue);
    }
    // Without a queue the root is kept as given, and there are no time-outs to lower.
    auto plain = HTTPConfig::initWithServer({}, std::string("/srv/./www/"));
    EXPECT_EQ(plain->documentRoot(), std::optional<std::string>("/srv/./www/"));
    EXPECT_EQ(plain->queue(), nullptr);
    EXPECT_EQ(plain->timeouts().read, 30.0);
    EXPECT_EQ(plain->timeouts().write, 30.0);
    EXPECT_EQ(HTTPConfig::initWithServer({}, std::nullopt, queue)->documentRoot(), std::nullopt);
}

class FileLookup : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() / ("pellix-lookup-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root / "dir");
        std::filesystem::create_directories(root / "bare");
        std::ofstream(root / "file.txt") << "x";
        std::ofstream(root / "dir" / "index.htm") << "x";
        std::ofstream(root.string() + "-sibling") << "x";
        LxLog::addLogger(logger);
    }
    void TearDown() override {
        LxLog::flushLog();
        LxLog::removeLogger(logger);
        std::filesystem::remove_all(root);
        std::filesystem::remove(root.string() + "-sibling");
    }
    std::shared_ptr<HTTPConnection> connection(std::optional<std::string> documentRoot) {
        auto config = HTTPConfig::initWithServer({}, std::move(documentRoot), platform::DispatchQueue::createSerial("c"));
        return HTTPConnection::create(AsyncSocket::create(), config);
    }
    std::filesystem::path root;
    std::shared_ptr<logging_test::RecordingLogger> logger = std::make_shared<logging_test::RecordingLogger>();
};

TEST_F(FileLookup, PathsUnderTheRootOnly) {
    auto c = connection(root.string());
    const std::string r = root.string();
    EXPECT_EQ(c->filePathForURI("/file.txt"), std::optional<std::string>(r + "/file.txt"));
    EXPECT_EQ(c->filePathForURI("/file.txt?x=1"), std::optional<std::string>(r + "/file.txt"));
    EXPECT_EQ(c->filePathForURI("/fi%6Ce.txt"), std::optional<std::string>(r + "/file.txt"));
    EXPECT_EQ(c->filePathForURI("/dir"), std::optional<std::string>(r + "/dir/index.htm"));
    EXPECT_EQ(c->filePathForURI("/bare"), std::nullopt);
    EXPECT_EQ(c->filePathForURI("/bare", true), std::optional<std::string>(r + "/bare"));
    EXPECT_EQ(c->filePathForURI("/"), std::nullopt);  // no index file in the root
    EXPECT_EQ(c->filePathForURI("/../" + root.filename().string() + "-sibling"), std::nullopt);
    EXPECT_EQ(c->filePathForURI("/%2e%2e/etc/passwd"), std::nullopt);
    LxLog::flushLog();
    auto texts = logger->texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.find("]: Request for file outside document root") != std::string::npos; }),
              2);
}

TEST_F(FileLookup, NoDocumentRoot) {
    auto c = connection(std::nullopt);
    EXPECT_EQ(c->filePathForURI("/file.txt"), std::nullopt);
    EXPECT_EQ(c->httpResponseForMethod("GET", "/file.txt"), nullptr);
    LxLog::flushLog();
    auto texts = logger->texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("HTTPConnection[0x", 0), 0u) << texts[0];
    EXPECT_NE(texts[0].find("]: No configured document root"), std::string::npos);
}

}  // namespace
