#include "Logging/LxLogMacros.h"

#include <gtest/gtest.h>

#include <string>

#include "Logging/LoggingTestSupport.h"

namespace {

using logging_test::RecordingLogger;

class Caller {
public:
    void warn() { LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Connection died", THIS_FILE, this); }
    void fail() { LX_LOG_ERROR(LogContextDefault, "Error starting HTTP Server: %@", std::string("busy")); }
    void failPlain() { LX_LOG_ERROR(LogContextHttpServer, "no arguments"); }
};

TEST(LxLogMacrosTest, PassFileFunctionLineAndFlags) {
    auto logger = std::make_shared<RecordingLogger>();
    LxLog::addLogger(logger);
    Caller caller;
    caller.warn();
    caller.fail();
    caller.failPlain();
    LxLog::removeLogger(logger);
    LxLog::flushLog();

    auto messages = logger->messages();
    ASSERT_EQ(3u, messages.size());

    char expected[64];
    std::snprintf(expected, sizeof expected, "LxLogMacrosTest[%p]: Connection died", static_cast<void*>(&caller));
    EXPECT_EQ(expected, *messages[0]->logMsg);
    EXPECT_EQ(LogFlagWarning, messages[0]->logFlag);
    EXPECT_EQ(LogLevelWarning, messages[0]->logLevel);
    EXPECT_EQ(LogContextHttpServer, messages[0]->logContext);
    EXPECT_STREQ(__FILE__, messages[0]->file);
    EXPECT_STREQ("warn", messages[0]->function);  // the bare name for the HTTP context
    EXPECT_GT(messages[0]->lineNumber, 0);
    EXPECT_FALSE(messages[0]->tag.has_value());

    EXPECT_EQ("Error starting HTTP Server: busy", *messages[1]->logMsg);
    EXPECT_EQ(LogFlagError, messages[1]->logFlag);
    EXPECT_EQ(LogContextDefault, messages[1]->logContext);
    EXPECT_NE(std::string::npos, std::string(messages[1]->function).find("Caller::fail"));  // the full name
    EXPECT_EQ(messages[0]->lineNumber + 1, messages[1]->lineNumber);

    EXPECT_EQ("no arguments", *messages[2]->logMsg);
    EXPECT_STREQ("failPlain", messages[2]->function);
}

}  // namespace
