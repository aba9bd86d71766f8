#include "Logging/LxAbstractLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"

namespace {

using logging_test::RecordingLogger;

// Notes its hooks with the logger's queue check at the time of the call.
class NotingFormatter : public LxLogFormatter {
public:
    explicit NotingFormatter(std::string name) : name_(std::move(name)) {}
    LxLogText formatLogMessage(const LxLogMessage& message) override { return message.logMsg; }
    void didAddToLogger(LxLogger& logger) override { note("add", logger); }
    void willRemoveFromLogger(LxLogger& logger) override { note("remove", logger); }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    void note(const std::string& what, LxLogger& logger) {
        auto& abstractLogger = dynamic_cast<LxAbstractLogger&>(logger);
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(name_ + " " + what + (abstractLogger.isOnInternalLoggerQueue() ? " on queue" : " elsewhere"));
    }
    const std::string name_;
    std::mutex mutex_;
    std::vector<std::string> events_;  // guarded by mutex_
};

TEST(LxAbstractLoggerTest, QueueIsLabelledWithTheLoggersName) {
    auto logger = std::make_shared<RecordingLogger>("test.named.logger");
    EXPECT_EQ("test.named.logger", logger->loggerName());
    ASSERT_NE(nullptr, logger->loggerQueue());
    EXPECT_EQ("test.named.logger", logger->loggerQueue()->label());
    EXPECT_EQ(logger->loggerQueue(), logger->loggerQueue());  // never replaced
}

TEST(LxAbstractLoggerTest, TellsWhichQueueTheCallerRunsOn) {
    auto logger = std::make_shared<RecordingLogger>();
    auto other = std::make_shared<RecordingLogger>("test.other");
    EXPECT_FALSE(logger->isOnInternalLoggerQueue());
    EXPECT_FALSE(logger->isOnGlobalLoggingQueue());

    bool onOwn = false, onOther = true, onHubInLogger = true;
    logger->loggerQueue()->sync([&] {
        onOwn = logger->isOnInternalLoggerQueue();
        onOther = other->isOnInternalLoggerQueue();
        onHubInLogger = logger->isOnGlobalLoggingQueue();
    });
    EXPECT_TRUE(onOwn);
    EXPECT_FALSE(onOther);
    EXPECT_FALSE(onHubInLogger);

    bool onHub = false, onOwnInHub = true;
    LxLog::loggingQueue()->sync([&] {
        onHub = logger->isOnGlobalLoggingQueue();
        onOwnInHub = logger->isOnInternalLoggerQueue();
    });
    EXPECT_TRUE(onHub);
    EXPECT_FALSE(onOwnInHub);
}

TEST(LxAbstractLoggerTest, FormatterChangesRunOnTheLoggersQueueAndCallTheHooks) {
    auto logger = std::make_shared<RecordingLogger>();
    auto first = std::make_shared<NotingFormatter>("first");
    auto second = std::make_shared<NotingFormatter>("second");
    EXPECT_EQ(nullptr, logger->logFormatter());

    logger->setLogFormatter(first);
    EXPECT_EQ(first, logger->logFormatter());
    logger->setLogFormatter(first);  // the same one again: no hooks
    logger->setLogFormatter(second);
    EXPECT_EQ(second, logger->logFormatter());
    logger->setLogFormatter(nullptr);
    EXPECT_EQ(nullptr, logger->logFormatter());

    EXPECT_EQ(std::vector<std::string>({"first add on queue", "first remove on queue"}), first->events());
    EXPECT_EQ(std::vector<std::string>({"second add on queue", "second remove on queue"}), second->events());
}

TEST(LxAbstractLoggerTest, BaseLoggerWritesNothing) {
    class Plain : public LxAbstractLogger {
    public:
        Plain() : LxAbstractLogger("test.plain") {}
    };
    auto plain = std::make_shared<Plain>();
    auto message = std::make_shared<const LxLogMessage>("x", 3, 1, 0, nullptr, nullptr, 0, std::nullopt, 0);
    plain->loggerQueue()->sync([&] { plain->logMessage(message); });
    EXPECT_EQ(1, message.use_count());  // not kept
}

// Opens the steps through the hub to the test.
class SteppingLogger : public RecordingLogger {
public:
    using LxAbstractLogger::enqueueThroughHub;
    using LxAbstractLogger::performOrEnqueueThroughHub;
    using LxAbstractLogger::readThroughHub;
};

TEST(LxAbstractLoggerTest, StepsThroughTheHubRunOnTheLoggersQueueAfterQueuedMessages) {
    auto logger = std::make_shared<SteppingLogger>();
    LxLog::addLogger(logger);
    std::mutex mutex;
    std::vector<std::string> seen;  // guarded by mutex
    LxLog::log(true, LogLevelWarning, LogFlagWarning, 0, __FILE__, __func__, __LINE__, std::nullopt, "before");
    logger->enqueueThroughHub([&] {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(logger->isOnInternalLoggerQueue() ? "step on queue" : "step elsewhere");
        seen.push_back("messages " + std::to_string(logger->count()));
    });
    logger->performOrEnqueueThroughHub([&] {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back("second step");
    });
    // Read through both queues: every step queued before has run.
    EXPECT_EQ(1u, logger->readThroughHub([&] { return logger->count(); }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(std::vector<std::string>({"step on queue", "messages 1", "second step"}), seen);
    }

    // On the logger's own queue the step runs at once, inside the caller's task.
    bool ranInside = false;
    logger->loggerQueue()->sync([&] { logger->performOrEnqueueThroughHub([&] { ranInside = true; }); });
    EXPECT_TRUE(ranInside);
    LxLog::removeLogger(logger);
    LxLog::flushLog();
}

TEST(LxAbstractLoggerTest, StepForALoggerThatIsGoneDoesNotRun) {
    auto logger = std::make_shared<SteppingLogger>();
    auto ran = std::make_shared<std::atomic<bool>>(false);
    // Hold the hub so that the step is still queued when the logger goes.
    auto gate = std::make_shared<logging_test::Gate>();
    LxLog::loggingQueue()->async([gate] { gate->wait(); });
    logger->enqueueThroughHub([ran] { *ran = true; });
    std::weak_ptr<SteppingLogger> weak = logger;
    logger.reset();
    gate->open();
    LxLog::flushLog();
    LxLog::loggingQueue()->sync([] {});
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(*ran);
}

}  // namespace
