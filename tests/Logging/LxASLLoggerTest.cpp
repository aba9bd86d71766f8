#include "Logging/LxASLLogger.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"
#include "Logging/LxTTYLogger.h"
#include "Platform/SystemLog/SystemLog.h"

namespace {

using logging_test::StderrCapture;

using Entries = std::vector<std::pair<int, std::string>>;

class LxASLLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setSystemLogOutputEnabled(false);
        platform::setSystemLogCapture([this](int priority, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            entries_.emplace_back(priority, text);
        });
    }
    void TearDown() override {
        platform::setSystemLogCapture({});
        platform::setSystemLogOutputEnabled(true);
    }
    std::vector<std::pair<int, std::string>> entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> entries_;  // guarded by mutex_
};

TEST_F(LxASLLoggerTest, PriorityFollowsTheFlag) {
    struct Case {
        int32_t flag;
        int priority;
    };
    static constexpr Case cases[] = {
        {1, 2}, {2, 3}, {3, 5}, {4, 4}, {0, 5}, {5, 5}, {8, 5}, {-1, 5}, {INT32_MIN, 5},
    };
    auto logger = LxASLLogger::sharedInstance();
    logger->loggerQueue()->sync([&] {
        for (const Case& c : cases)
            logger->logMessage(std::make_shared<const LxLogMessage>("flag " + std::to_string(c.flag), 3, c.flag, 0,
                                                                    nullptr, nullptr, 0, std::nullopt, 0));
    });
    auto got = entries();
    ASSERT_EQ(std::size(cases), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(got[i].second);
        EXPECT_EQ(cases[i].priority, got[i].first);
        EXPECT_EQ("flag " + std::to_string(cases[i].flag), got[i].second);
    }
}

TEST_F(LxASLLoggerTest, EntryIsTheTextAloneWithItsPercentSigns) {
    auto logger = LxASLLogger::sharedInstance();
    EXPECT_EQ("log.hub.aslLogger", logger->loggerName());
    EXPECT_EQ("log.hub.aslLogger", logger->loggerQueue()->label());

    auto tty = LxTTYLogger::sharedInstance();
    StderrCapture capture;
    LxLog::addLogger(tty);
    LxLog::addLogger(logger);
    LxLog::log(false, LogLevelWarning, LogFlagError, 0, __FILE__, __func__, __LINE__, std::nullopt,
               "%@ failed", std::string("%@ and %s"));
    LxLog::removeAllLoggers();
    LxLog::flushLog();
    std::string line = capture.finish();

    EXPECT_EQ(Entries({{2, "%@ and %s failed"}}), entries());
    // The same message on standard error carries the prefix.
    ASSERT_GT(line.size(), std::string("%@ and %s failed\n").size());
    EXPECT_EQ("] %@ and %s failed\n", line.substr(line.size() - 19));
}

class DroppingFormatter : public LxLogFormatter {
public:
    LxLogText formatLogMessage(const LxLogMessage& message) override {
        return *message.logMsg == "drop" ? nullptr : std::make_shared<const std::string>("<" + *message.logMsg + ">");
    }
};

TEST_F(LxASLLoggerTest, FormatterTextIsLoggedAndNilDropsTheEntry) {
    auto logger = LxASLLogger::sharedInstance();
    logger->setLogFormatter(std::make_shared<DroppingFormatter>());
    logger->logFormatter();
    logger->loggerQueue()->sync([&] {
        for (const char* text : {"keep", "drop"})
            logger->logMessage(std::make_shared<const LxLogMessage>(text, 3, 2, 0, nullptr, nullptr, 0, std::nullopt, 0));
    });
    logger->setLogFormatter(nullptr);
    logger->logFormatter();
    EXPECT_EQ(Entries({{3, "<keep>"}}), entries());
}

}  // namespace
