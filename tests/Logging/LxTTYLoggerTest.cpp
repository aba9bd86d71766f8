#include "Logging/LxTTYLogger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"
#include "Platform/ThreadInfo.h"

namespace {

using logging_test::StderrCapture;
using namespace std::chrono;

// 2026-03-04 12:00:00.9999 UTC
const LxLogMessage::Clock::time_point kNoonAndAlmostASecond =
    sys_days{year{2026} / March / 4} + hours{12} + microseconds{999900};

std::shared_ptr<const LxLogMessage> makeMessage(std::string text,
                                                LxLogMessage::Clock::time_point when = kNoonAndAlmostASecond) {
    return std::make_shared<const LxLogMessage>(std::move(text), LogLevelWarning, LogFlagWarning, LogContextHttpServer,
                                                __FILE__, "test", 1, std::nullopt, 0, when);
}

std::string prefix(uint32_t threadId, const std::string& time = "2026-03-04 12:00:00:999") {
    char thread[16];
    std::snprintf(thread, sizeof thread, "%x", threadId);
    return time + " " + platform::processName() + "[" + std::to_string(getpid()) + ":" + thread + "] ";
}

// Writes the messages through the logger's queue, as the hub does, and returns what reached
// file descriptor 2.
std::string written(const std::vector<std::shared_ptr<const LxLogMessage>>& messages) {
    auto logger = LxTTYLogger::sharedInstance();
    StderrCapture capture;
    logger->loggerQueue()->sync([&] {
        for (const auto& m : messages) logger->logMessage(m);
    });
    return capture.finish();
}

class LxTTYLoggerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        auto logger = LxTTYLogger::sharedInstance();
        logger->setLogFormatter(nullptr);
        logger->logFormatter();  // waits until the change is made
    }
};

TEST_F(LxTTYLoggerTest, LineFormatByteForByte) {
    struct Case {
        const char* text;
        const char* line;  // after the prefix
    };
    static constexpr Case cases[] = {
        {"hello", "hello\n"},
        {"ends in a newline\n", "ends in a newline\n"},
        {"", "\n"},
        {"%@ and %s stay 100%", "%@ and %s stay 100%\n"},
        {"two\nlines", "two\nlines\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto message = makeMessage(c.text);
        EXPECT_EQ(prefix(message->machThreadID) + c.line, written({message}));
    }
}

TEST_F(LxTTYLoggerTest, CalendarFieldsAndTruncatedMilliseconds) {
    struct Case {
        LxLogMessage::Clock::time_point when;
        const char* printed;
    };
    const Case cases[] = {
        {kNoonAndAlmostASecond, "2026-03-04 12:00:00:999"},
        {sys_days{year{2001} / January / 1} + milliseconds{5}, "2001-01-01 00:00:00:005"},
        {sys_days{year{1999} / December / 31} + hours{23} + minutes{59} + seconds{59} + milliseconds{250},
         "1999-12-31 23:59:59:250"},  // before the epoch of the fraction
        {sys_days{year{2024} / February / 29} + hours{7} + minutes{8} + seconds{9}, "2024-02-29 07:08:09:000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printed);
        auto message = makeMessage("t", c.when);
        EXPECT_EQ(prefix(message->machThreadID, c.printed) + "t\n", written({message}));
    }
}

TEST_F(LxTTYLoggerTest, LongTextsAreWrittenWhole) {
    for (size_t length : {4095u, 4096u, 200000u}) {
        SCOPED_TRACE(length);
        std::string text(length, 'a');
        text.back() = 'z';
        auto message = makeMessage(text);
        EXPECT_EQ(prefix(message->machThreadID) + text + "\n", written({message}));
    }
}

// Returns a text chosen by the test.
class FixedFormatter : public LxLogFormatter {
public:
    enum class Mode { Own, EqualCopy, New, Drop };
    explicit FixedFormatter(Mode mode) : mode_(mode) {}
    LxLogText formatLogMessage(const LxLogMessage& message) override {
        switch (mode_) {
        case Mode::Own: return message.logMsg;
        case Mode::EqualCopy: return std::make_shared<const std::string>(*message.logMsg);
        case Mode::New: return std::make_shared<const std::string>("formatted: " + *message.logMsg);
        case Mode::Drop: return nullptr;
        }
        return nullptr;
    }

private:
    const Mode mode_;
};

TEST_F(LxTTYLoggerTest, FormatterTextIsWrittenWithoutPrefixUnlessItIsTheRecordsOwn) {
    struct Case {
        FixedFormatter::Mode mode;
        bool prefixed;
        const char* line;
    };
    static constexpr Case cases[] = {
        {FixedFormatter::Mode::Own, true, "text\n"},
        {FixedFormatter::Mode::EqualCopy, false, "text\n"},
        {FixedFormatter::Mode::New, false, "formatted: text\n"},
        {FixedFormatter::Mode::Drop, false, ""},
    };
    auto logger = LxTTYLogger::sharedInstance();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        logger->setLogFormatter(std::make_shared<FixedFormatter>(c.mode));
        logger->logFormatter();
        auto message = makeMessage("text");
        std::string expected = (c.prefixed ? prefix(message->machThreadID) : std::string()) + c.line;
        EXPECT_EQ(expected, written({message}));
    }
}

TEST_F(LxTTYLoggerTest, ThroughTheHubEachMessageIsOneLineInCallOrder) {
    auto logger = LxTTYLogger::sharedInstance();
    StderrCapture capture;
    LxLog::addLogger(logger);
    for (int i = 0; i < 50; ++i)
        LxLog::log(true, LogLevelWarning, LogFlagWarning, 80, __FILE__, __func__, __LINE__, std::nullopt, "line %d", i);
    LxLog::removeLogger(logger);
    LxLog::flushLog();
    std::string out = capture.finish();

    const std::string head = "] ";
    size_t at = 0;
    for (int i = 0; i < 50; ++i) {
        size_t end = out.find('\n', at);
        ASSERT_NE(std::string::npos, end);
        std::string line = out.substr(at, end - at);
        EXPECT_EQ("line " + std::to_string(i), line.substr(line.find(head) + head.size()));
        at = end + 1;
    }
    EXPECT_EQ(out.size(), at);
}

TEST_F(LxTTYLoggerTest, IsTheOneInstanceWithItsOwnName) {
    auto logger = LxTTYLogger::sharedInstance();
    EXPECT_EQ(logger, LxTTYLogger::sharedInstance());
    EXPECT_EQ("log.hub.ttyLogger", logger->loggerName());
    EXPECT_EQ("log.hub.ttyLogger", logger->loggerQueue()->label());
}

TEST(LxTTYLoggerTerminalTest, TerminalKindFromTheEnvironment) {
    struct Case {
        const char* term;
        const char* xcodeColors;
        LxTTYLogger::TerminalKind expected;
    };
    const Case cases[] = {
        {"xterm-256color", nullptr, {true, true, false}},
        {"xterm-color", nullptr, {true, false, false}},
        {"SCREEN-256COLOR", nullptr, {true, true, false}},
        {"xterm", nullptr, {false, false, false}},
        {"vt100-256", nullptr, {false, false, false}},  // "256" alone is no colour terminal
        {"xterm", "YES", {false, false, false}},        // with "TERM" set XcodeColors is not asked
        {nullptr, "YES", {false, false, true}},
        {nullptr, "yes", {false, false, false}},
        {nullptr, nullptr, {false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.term ? c.term : "(unset)") + " / " + (c.xcodeColors ? c.xcodeColors : "(unset)"));
        EXPECT_EQ(c.expected, LxTTYLogger::terminalKindOf(c.term, c.xcodeColors));
    }
}

}  // namespace
