// The standard-error logger's colours on a 256-colour terminal: this program sets "TERM" before
// the logger's class is first used, as a terminal would have set it before the process began.
#include "Logging/LxTTYLogger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"
#include "Platform/Color.h"
#include "Platform/ThreadInfo.h"

namespace {

const bool kColourTerminal = [] {
    setenv("TERM", "xterm-256color", 1);
    setenv("TZ", "UTC", 1);
    tzset();
    return true;
}();

using logging_test::Gate;
using logging_test::RecordingLogger;
using logging_test::StderrCapture;
using platform::Color;

// Colours that are references of the 256-colour table, with their codes.
const Color kRed = Color::calibrated(1, 0, 0);  // nearest: 160
constexpr const char* kRedFg = "\033[38;5;160m";
const Color kBlue = Color::calibrated(88 / 255.0, 51 / 255.0, 1);  // colour 21 exactly
constexpr const char* kBlueFg = "\033[38;5;21m";
constexpr const char* kBlueBg = "\033[48;5;21m";
const Color kGreen = Color::calibrated(27 / 255.0, 254 / 255.0, 30 / 255.0);  // colour 46 exactly
constexpr const char* kGreenFg = "\033[38;5;46m";
constexpr const char* kReset = "\033[0m";

std::shared_ptr<const LxLogMessage> makeMessage(int32_t flag, int32_t context, LxLogTag tag = std::nullopt,
                                                std::string text = "text") {
    return std::make_shared<const LxLogMessage>(std::move(text), LogLevelWarning, flag, context, __FILE__, "test", 1,
                                                std::move(tag), 0);
}

std::string prefixOf(const LxLogMessage& message) {
    char thread[16];
    std::snprintf(thread, sizeof thread, "%x", message.machThreadID);
    char timestamp[32];
    using namespace std::chrono;
    const auto sinceEpoch = message.timestamp.time_since_epoch();
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const std::time_t secondsSinceEpoch = wholeSeconds.count();
    std::tm utc{};
    gmtime_r(&secondsSinceEpoch, &utc);
    const size_t n = std::strftime(timestamp, sizeof timestamp, "%Y-%m-%d %H:%M:%S", &utc);
    std::snprintf(timestamp + n, sizeof timestamp - n, ":%03d",
                  static_cast<int>(duration_cast<milliseconds>(sinceEpoch - wholeSeconds).count()));
    return std::string(timestamp) + " " + platform::processName() + "[" + std::to_string(getpid()) + ":" + thread + "] ";
}

// The unformatted line with the given codes around it, as the logger lays it out.
std::string colouredLine(const LxLogMessage& message, const std::string& fg, const std::string& bg,
                         const std::string& reset) {
    return fg + bg + prefixOf(message) + *message.logMsg + "\n" + reset;
}

class LxTTYLoggerColorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kColourTerminal);
        ASSERT_TRUE(LxTTYLogger::terminalKind().colorTable256) << "TERM must be read after this program set it";
    }
    void TearDown() override {
        logger_->setColorsEnabled(false);
        logger_->clearAllColors();
        logger_->setLogFormatter(nullptr);
        logger_->colorsEnabled();  // waits until the changes are made
    }

    // Writes the messages on the logger's queue, as the hub does, and returns the bytes that
    // reached file descriptor 2.
    std::string written(const std::vector<std::shared_ptr<const LxLogMessage>>& messages) {
        StderrCapture capture;
        logger_->loggerQueue()->sync([&] {
            for (const auto& m : messages) logger_->logMessage(m);
        });
        return capture.finish();
    }

    // Turns colours on and waits until they are.
    void enableColors() {
        logger_->setColorsEnabled(true);
        ASSERT_TRUE(logger_->colorsEnabled());
    }

    const std::shared_ptr<LxTTYLogger> logger_ = LxTTYLogger::sharedInstance();
};

TEST_F(LxTTYLoggerColorsTest, ColouredLinesCarryTheCodesAroundTheLine) {
    logger_->setForegroundColor(kRed, kBlue, LogFlagError);
    enableColors();

    auto message = makeMessage(LogFlagError, 0);
    EXPECT_EQ(colouredLine(*message, kRedFg, kBlueBg, kReset), written({message}));

    // A text that ends in a newline: the reset still comes after it.
    auto twoLines = makeMessage(LogFlagError, 0, std::nullopt, "one\ntwo\n");
    EXPECT_EQ(std::string(kRedFg) + kBlueBg + prefixOf(*twoLines) + "one\ntwo\n" + kReset, written({twoLines}));
}

// Returns a new text, so that the line is written without the logger's prefix.
class BracketFormatter : public LxLogFormatter {
public:
    LxLogText formatLogMessage(const LxLogMessage& message) override {
        return std::make_shared<const std::string>("[" + *message.logMsg + "]");
    }
};

TEST_F(LxTTYLoggerColorsTest, AFormattedLineCarriesTheCodesToo) {
    logger_->setForegroundColor(std::nullopt, kBlue, LogFlagWarning);
    logger_->setLogFormatter(std::make_shared<BracketFormatter>());
    enableColors();
    EXPECT_EQ(std::string(kBlueBg) + "[text]\n" + kReset, written({makeMessage(LogFlagWarning, 0)}));
}

TEST_F(LxTTYLoggerColorsTest, TheProgramsOwnLinesCarryNoEscapeCodes) {
    // The program never enables colours: profiles set or not, a colour terminal or not, its
    // lines through the hub are the plain ones.
    logger_->setForegroundColor(kRed, kBlue, LogFlagError);
    logger_->setForegroundColor(kRed, kBlue, LogFlagWarning, LogContextHttpServer);
    EXPECT_FALSE(logger_->colorsEnabled());

    StderrCapture capture;
    LxLog::addLogger(logger_);
    LxLog::log(false, LogLevelWarning, LogFlagError, LogContextDefault, __FILE__, __func__, __LINE__, std::nullopt,
               "Error starting HTTP Server: %@", "no port");
    LxLog::log(true, LogLevelWarning, LogFlagWarning, LogContextHttpServer, __FILE__, __func__, __LINE__, std::nullopt,
               "%@: warning", "HTTPConnection");
    LxLog::removeLogger(logger_);
    LxLog::flushLog();
    const std::string out = capture.finish();
    EXPECT_NE(std::string::npos, out.find("] Error starting HTTP Server: no port\n"));
    EXPECT_NE(std::string::npos, out.find("] HTTPConnection: warning\n"));
    EXPECT_EQ(std::string::npos, out.find('\033'));
}

TEST_F(LxTTYLoggerColorsTest, ProfilesByFlagAndContext) {
    // One change of the profiles: set a foreground colour (color) or clear (nullptr).
    struct Step {
        const Color* color;
        int32_t flag;
        int32_t context = 0;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int32_t flag;
        int32_t context;
        const char* fg;  // nullptr: uncoloured
    };
    const Case cases[] = {
        {"flag 1 set twice: the second replaces the first", {{&kRed, 1}, {&kBlue, 1}}, 1, 0, kBlueFg},
        {"flag 1 with context 80 is a second profile: context 0", {{&kRed, 1}, {&kBlue, 1, 80}}, 1, 0, kRedFg},
        {"flag 1 with context 80 is a second profile: context 80", {{&kRed, 1}, {&kBlue, 1, 80}}, 1, 80, kBlueFg},
        {"flag 2 context 80 does not match flag 2 context 0", {{&kRed, 2}}, 2, 80, nullptr},
        {"mask 3 matches flag 1", {{&kRed, 3}}, 1, 0, kRedFg},
        {"mask 3 matches flag 2", {{&kRed, 3}}, 2, 0, kRedFg},
        {"mask 3 does not match flag 4", {{&kRed, 3}}, 4, 0, nullptr},
        {"clearing flag 1 leaves mask 3", {{&kRed, 3}, {nullptr, 1}}, 1, 0, kRedFg},
        {"clearing flag 1 removes flag 1", {{&kRed, 1}, {&kBlue, 2}, {nullptr, 1}}, 1, 0, nullptr},
        {"clearing flag 1 context 80 leaves flag 1 context 0", {{&kRed, 1}, {nullptr, 1, 80}}, 1, 0, kRedFg},
        // Order tells replacing in place from removing and appending: [mask 3, flag 1], then
        // mask 3 again. In place the new mask-3 profile stays first and wins for flag 1.
        {"a replaced profile keeps its place", {{&kRed, 3}, {&kBlue, 1}, {&kGreen, 3}}, 1, 0, kGreenFg},
        {"the first matching profile wins", {{&kBlue, 1}, {&kRed, 3}}, 1, 0, kBlueFg},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logger_->clearAllColors();
        for (const Step& step : c.steps) {
            if (step.color)
                logger_->setForegroundColor(*step.color, std::nullopt, step.flag, step.context);
            else
                logger_->clearColorsForFlag(step.flag, step.context);
        }
        enableColors();
        auto message = makeMessage(c.flag, c.context);
        const std::string expected =
            c.fg ? colouredLine(*message, c.fg, "", kReset) : colouredLine(*message, "", "", "");
        EXPECT_EQ(expected, written({message}));
    }

    // Clearing every profile by flag: enabling colours then loads the defaults, which leave
    // flag 4 alone.
    logger_->setForegroundColor(kRed, std::nullopt, 4);
    logger_->setForegroundColor(kRed, std::nullopt, 4, 80);
    logger_->clearColorsForAllFlags();
    enableColors();
    auto message = makeMessage(4, 0);
    EXPECT_EQ(colouredLine(*message, "", "", ""), written({message}));
}

TEST_F(LxTTYLoggerColorsTest, ATagProfileWinsOverTheFlagProfiles) {
    logger_->setForegroundColor(kRed, std::nullopt, LogFlagError);
    logger_->setForegroundColor(kBlue, std::nullopt, "card");
    logger_->setForegroundColor(kGreen, std::nullopt, "replaced");
    logger_->setForegroundColor(kRed, kBlue, "replaced");
    enableColors();

    auto tagged = makeMessage(LogFlagError, 0, "card");
    auto otherTag = makeMessage(LogFlagError, 0, "socket");
    auto replaced = makeMessage(LogFlagInfo, 7, "replaced");  // a tag profile ignores flag and context
    EXPECT_EQ(colouredLine(*tagged, kBlueFg, "", kReset), written({tagged}));
    EXPECT_EQ(colouredLine(*otherTag, kRedFg, "", kReset), written({otherTag}));
    EXPECT_EQ(colouredLine(*replaced, kRedFg, kBlueBg, kReset), written({replaced}));

    logger_->clearColorsForTag("card");
    logger_->colorsEnabled();
    EXPECT_EQ(colouredLine(*tagged, kRedFg, "", kReset), written({tagged}));

    logger_->clearColorsForAllTags();
    logger_->colorsEnabled();
    EXPECT_EQ(colouredLine(*replaced, "", "", ""), written({replaced}));
}

TEST_F(LxTTYLoggerColorsTest, EnablingWithoutFlagProfilesLoadsTheDefaults) {
    // Only a tag profile: the defaults come in with colours (errors 214,57,30 and warnings
    // 204,121,32 are nearest to colours 160 and 172).
    logger_->setForegroundColor(kBlue, std::nullopt, "card");
    enableColors();
    auto error = makeMessage(LogFlagError, 0);
    auto warning = makeMessage(LogFlagWarning, 0);
    auto info = makeMessage(LogFlagInfo, 0);
    auto warningIn80 = makeMessage(LogFlagWarning, 80);
    auto tagged = makeMessage(LogFlagError, 0, "card");
    EXPECT_EQ(colouredLine(*error, kRedFg, "", kReset), written({error}));
    EXPECT_EQ(colouredLine(*warning, "\033[38;5;172m", "", kReset), written({warning}));
    EXPECT_EQ(colouredLine(*info, "", "", ""), written({info}));
    EXPECT_EQ(colouredLine(*warningIn80, "", "", ""), written({warningIn80}));
    EXPECT_EQ(colouredLine(*tagged, kBlueFg, "", kReset), written({tagged}));

    // With a profile by flag the defaults stay out.
    logger_->setColorsEnabled(false);
    logger_->clearAllColors();
    logger_->setForegroundColor(kBlue, std::nullopt, 4);
    enableColors();
    EXPECT_EQ(colouredLine(*error, "", "", ""), written({error}));
    EXPECT_EQ(colouredLine(*info, kBlueFg, "", kReset), written({info}));
}

TEST_F(LxTTYLoggerColorsTest, ColoursOffWriteNoCodes) {
    logger_->setForegroundColor(kRed, kBlue, LogFlagError);
    enableColors();
    logger_->setColorsEnabled(false);
    EXPECT_FALSE(logger_->colorsEnabled());
    auto message = makeMessage(LogFlagError, 0);
    EXPECT_EQ(colouredLine(*message, "", "", ""), written({message}));
}

TEST_F(LxTTYLoggerColorsTest, OnTheLoggersQueueChangesRunAtOnceButTheSwitchWaitsItsTurn) {
    logger_->setForegroundColor(kRed, std::nullopt, LogFlagError);
    enableColors();
    auto message = makeMessage(LogFlagError, 0);
    StderrCapture capture;
    logger_->loggerQueue()->sync([&] {
        logger_->setForegroundColor(kBlue, std::nullopt, LogFlagError);
        logger_->logMessage(message);  // already blue
        logger_->clearColorsForFlag(LogFlagError);
        logger_->logMessage(message);  // already uncoloured
        logger_->setForegroundColor(kGreen, std::nullopt, LogFlagError);
        logger_->setColorsEnabled(false);
        logger_->logMessage(message);  // still coloured: the switch goes through the hub first
    });
    EXPECT_FALSE(logger_->colorsEnabled());
    EXPECT_EQ(colouredLine(*message, kBlueFg, "", kReset) + colouredLine(*message, "", "", "") +
                  colouredLine(*message, kGreenFg, "", kReset),
              capture.finish());
}

TEST_F(LxTTYLoggerColorsTest, ChangesFromElsewhereComeAfterEveryMessageQueuedBefore) {
    logger_->setForegroundColor(kRed, std::nullopt, LogFlagError);
    enableColors();

    // A second logger holds the hub on the first message until the gate opens.
    Gate gate;
    auto holder = std::make_shared<RecordingLogger>("test.holder", [&](const LxLogMessage& m) {
        if (*m.logMsg == "first") gate.wait();
    });
    StderrCapture capture;
    LxLog::addLogger(logger_);
    LxLog::addLogger(holder);
    auto log = [](const char* text) {
        LxLog::log(true, LogLevelWarning, LogFlagError, 0, __FILE__, __func__, __LINE__, std::nullopt, "%s", text);
    };
    log("first");
    log("second");
    logger_->setForegroundColor(kBlue, std::nullopt, LogFlagError);  // returns at once
    log("third");
    gate.open();
    LxLog::removeLogger(holder);
    LxLog::removeLogger(logger_);
    LxLog::flushLog();
    const std::string out = capture.finish();

    // The holder got the same records, in the same order.
    const auto messages = holder->messages();
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ(colouredLine(*messages[0], kRedFg, "", kReset) + colouredLine(*messages[1], kRedFg, "", kReset) +
                  colouredLine(*messages[2], kBlueFg, "", kReset),
              out);
}

}  // namespace
