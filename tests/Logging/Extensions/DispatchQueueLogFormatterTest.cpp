#include "Logging/Extensions/DispatchQueueLogFormatter.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LxAbstractLogger.h"
#include "Logging/LxLog.h"
#include "Platform/DateFormatter.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/ThreadInfo.h"

namespace {

using namespace std::chrono;
using platform::DispatchQueue;

std::shared_ptr<const LxLogMessage> makeMessage(std::string text = "text") {
    return std::make_shared<const LxLogMessage>(std::move(text), LogLevelWarning, LogFlagWarning, 80, __FILE__,
                                                "test", 1, std::nullopt, 0);
}

// The record a log call makes in a thread of its own: named (or not, nullptr), and inside a
// task of the queue when one is given.
std::shared_ptr<const LxLogMessage> messageFromThread(const char* threadName,
                                                     std::shared_ptr<DispatchQueue> queue = nullptr) {
    std::shared_ptr<const LxLogMessage> message;
    std::thread caller([&] {
        if (threadName) pthread_setname_np(pthread_self(), threadName);
        if (queue)
            queue->sync([&] { message = makeMessage(); });
        else
            message = makeMessage();
    });
    caller.join();
    return message;
}

std::string hexId(const LxLogMessage& message) {
    char id[16];
    std::snprintf(id, sizeof id, "%x", message.machThreadID);
    return id;
}

class DispatchQueueLogFormatterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    DispatchQueueLogFormatter formatter_;
};

TEST_F(DispatchQueueLogFormatterTest, NamesTheQueueOrElseTheThreadOrElseItsId) {
    const auto globalLabelled = DispatchQueue::createSerial("com.apple.root.default-priority");
    struct Case {
        const char* name;
        std::shared_ptr<const LxLogMessage> message;
        std::function<std::string(const LxLogMessage&)> expected;
    };
    const Case cases[] = {
        {"the main thread is the main queue", makeMessage(), [](auto&) { return std::string("main"); }},
        {"an unnamed thread of no queue", messageFromThread(nullptr), hexId},
        {"a named thread of no queue", messageFromThread("worker-7"), [](auto&) { return std::string("worker-7"); }},
        {"a serial queue, whichever thread runs it",
         messageFromThread("worker-7", DispatchQueue::createSerial("test.queue")),
         [](auto&) { return std::string("test.queue"); }},
        {"a global queue in a named thread", messageFromThread("worker-8", globalLabelled),
         [](auto&) { return std::string("worker-8"); }},
        {"a global queue in an unnamed thread", messageFromThread(nullptr, globalLabelled), hexId},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected(*c.message), formatter_.queueThreadLabelForLogMessage(*c.message));
    }

}

TEST_F(DispatchQueueLogFormatterTest, RegressionPoolWorkersAreToldApartByTheirIds) {
    // The pool names its threads alike for the system's tools; that name is no name of a
    // thread's own, so a global queue's message shows which worker logged it.
    const auto globalLabelled = DispatchQueue::createSerial("com.apple.root.default-priority");
    struct Case {
        const char* name;
        std::shared_ptr<DispatchQueue> queue;
    };
    const Case cases[] = {
        {"a task of the global concurrent queue", DispatchQueue::globalConcurrent()},
        {"a task of a queue with a global queue's label", globalLabelled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<const LxLogMessage> pooled;
        platform::Semaphore done;
        c.queue->async([&] {
            pooled = makeMessage();
            done.signal();
        });
        done.wait();
        EXPECT_EQ("", pooled->threadName);
        EXPECT_EQ(hexId(*pooled), formatter_.queueThreadLabelForLogMessage(*pooled));
    }
    // A serial queue's own label still names its messages on a worker.
    auto serial = DispatchQueue::createSerial("test.queue");
    std::shared_ptr<const LxLogMessage> onSerial;
    platform::Semaphore done;
    serial->async([&] {
        onSerial = makeMessage();
        done.signal();
    });
    done.wait();
    EXPECT_EQ("test.queue", formatter_.queueThreadLabelForLogMessage(*onSerial));
}

TEST_F(DispatchQueueLogFormatterTest, TheSixGlobalQueueLabelsAreNamedByTheirThread) {
    for (const char* label :
         {"com.apple.root.low-priority", "com.apple.root.default-priority", "com.apple.root.high-priority",
          "com.apple.root.low-overcommit-priority", "com.apple.root.default-overcommit-priority",
          "com.apple.root.high-overcommit-priority"}) {
        SCOPED_TRACE(label);
        auto message = messageFromThread("worker-9", DispatchQueue::createSerial(label));
        EXPECT_EQ("worker-9", formatter_.queueThreadLabelForLogMessage(*message));
    }
    // Only those exact labels.
    auto similar = messageFromThread("worker-9", DispatchQueue::createSerial("com.apple.root.default-priority2"));
    EXPECT_EQ("com.apple.root.default-priority2", formatter_.queueThreadLabelForLogMessage(*similar));
}

TEST_F(DispatchQueueLogFormatterTest, ReplacementsRenameLabelsAndThreadNamesButNeverIds) {
    EXPECT_EQ("main", formatter_.replacementStringForQueueLabel(DispatchQueue::mainQueueLabel()));
    EXPECT_EQ(std::nullopt, formatter_.replacementStringForQueueLabel("test.queue"));

    auto onQueue = messageFromThread(nullptr, DispatchQueue::createSerial("test.queue"));
    auto named = messageFromThread("worker-7");
    auto unnamed = messageFromThread(nullptr);
    formatter_.setReplacementString("tq", "test.queue");
    formatter_.setReplacementString("w7", "worker-7");
    formatter_.setReplacementString("never", hexId(*unnamed));
    EXPECT_EQ("tq", formatter_.queueThreadLabelForLogMessage(*onQueue));
    EXPECT_EQ("w7", formatter_.queueThreadLabelForLogMessage(*named));
    EXPECT_EQ(hexId(*unnamed), formatter_.queueThreadLabelForLogMessage(*unnamed));

    formatter_.setReplacementString("queue", "test.queue");  // replaces the replacement
    EXPECT_EQ("queue", formatter_.queueThreadLabelForLogMessage(*onQueue));
    formatter_.setReplacementString(std::nullopt, "test.queue");
    EXPECT_EQ("test.queue", formatter_.queueThreadLabelForLogMessage(*onQueue));
    formatter_.setReplacementString(std::nullopt, DispatchQueue::mainQueueLabel());
    EXPECT_EQ(DispatchQueue::mainQueueLabel(), formatter_.queueThreadLabelForLogMessage(*makeMessage()));
}

TEST_F(DispatchQueueLogFormatterTest, LabelsAreCutOrPaddedButNeverBoth) {
    struct Case {
        const char* label;  // of the queue; nullptr: the main thread, "main"
        uint64_t minLength;
        uint64_t maxLength;
        const char* expected;
    };
    static constexpr Case cases[] = {
        {nullptr, 0, 4, "main"},
        {"abcdefghij", 0, 4, "abcd"},
        {nullptr, 8, 0, "main    "},
        {"abcdefghij", 12, 4, "abcd"},
        {nullptr, 2, 0, "main"},
        {"abcdefghij", 0, 0, "abcdefghij"},
        {"abcdefghij", 0, 10, "abcdefghij"},
        {"\xc3\xa4\xc3\xb6\xc3\xbc-queue", 0, 3, "\xc3\xa4\xc3\xb6\xc3\xbc"},  // cut by characters, not bytes
        {"\xc3\xa4\xc3\xb6", 4, 0, "\xc3\xa4\xc3\xb6  "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.label ? c.label : "main") + " min " + std::to_string(c.minLength) + " max " +
                     std::to_string(c.maxLength));
        formatter_.setMinQueueLength(c.minLength);
        formatter_.setMaxQueueLength(c.maxLength);
        EXPECT_EQ(c.minLength, formatter_.minQueueLength());
        EXPECT_EQ(c.maxLength, formatter_.maxQueueLength());
        auto message = c.label ? messageFromThread(nullptr, DispatchQueue::createSerial(c.label)) : makeMessage();
        EXPECT_EQ(c.expected, formatter_.queueThreadLabelForLogMessage(*message));
    }
}

TEST_F(DispatchQueueLogFormatterTest, LineIsDateLabelAndText) {
    const auto when = sys_days{year{2026} / March / 4} + hours{12} + microseconds{999900};
    auto message = std::make_shared<const LxLogMessage>("hello %@", LogLevelWarning, LogFlagError, 0, __FILE__, "test",
                                                        1, std::nullopt, 0, when);
    const LxLogText line = formatter_.formatLogMessage(*message);
    ASSERT_NE(nullptr, line);
    EXPECT_EQ("2026-03-04 12:00:00:999 [main] hello %@", *line);
    EXPECT_EQ("1999-12-31 23:59:59:250",
              formatter_.stringFromDate(sys_days{year{1999} / December / 31} + hours{23} + minutes{59} + seconds{59} +
                                        milliseconds{250}));
}

// A logger that writes through its formatter into memory.
class FormattingLogger : public LxAbstractLogger {
public:
    explicit FormattingLogger(std::string name) : LxAbstractLogger(std::move(name)) {}

    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override {
        LxLogText text = formatter_ ? formatter_->formatLogMessage(*message) : message->logMsg;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(message, text ? *text : std::string());
    }

    std::vector<std::pair<std::shared_ptr<const LxLogMessage>, std::string>> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::shared_ptr<const LxLogMessage>, std::string>> lines_;  // guarded by mutex_
};

TEST(DispatchQueueLogFormatterSharingTest, OneFormatterServesTwoLoggersFormattingAtOnce) {
    LxLog::setProcessorCountForTesting(2);  // the two loggers get each message in parallel
    auto formatter = std::make_shared<DispatchQueueLogFormatter>();
    auto first = std::make_shared<FormattingLogger>("test.first");
    auto second = std::make_shared<FormattingLogger>("test.second");
    first->setLogFormatter(formatter);
    second->setLogFormatter(formatter);
    LxLog::addLogger(first);
    LxLog::addLogger(second);

    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    std::atomic<bool> logging{true};
    // Settings change meanwhile, as any thread may change them.
    std::thread changer([&] {
        for (uint64_t i = 0; logging; ++i) {
            formatter->setReplacementString(i % 2 ? std::optional<std::string>("renamed") : std::nullopt, "caller-0");
            formatter->setMinQueueLength(i % 3);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([t] {
            const std::string name = "caller-" + std::to_string(t);
            pthread_setname_np(pthread_self(), name.c_str());
            for (int i = 0; i < kPerThread; ++i)
                LxLog::log(true, LogLevelWarning, LogFlagWarning, 80, __FILE__, __func__, __LINE__, std::nullopt,
                           "message %d", i);
        });
    }
    for (auto& caller : callers) caller.join();
    LxLog::flushLog();
    logging = false;
    changer.join();

    // With one logger left the formatter goes back to its one date formatter.
    LxLog::removeLogger(second);
    second->setLogFormatter(nullptr);
    second->logFormatter();
    LxLog::log(false, LogLevelWarning, LogFlagError, 0, __FILE__, __func__, __LINE__, std::nullopt, "alone");
    LxLog::removeLogger(first);
    LxLog::flushLog();
    LxLog::setProcessorCountForTesting(platform::processorCount());

    platform::DateFormatter dates(DispatchQueueLogFormatter::dateFormatString);
    for (auto* logger : {first.get(), second.get()}) {
        const auto lines = logger->lines();
        ASSERT_EQ(logger == first.get() ? kThreads * kPerThread + 1u : kThreads * kPerThread + 0u, lines.size());
        for (const auto& [message, line] : lines) {
            const std::string date = dates.stringFromDate(message->timestamp);
            ASSERT_EQ(date + " [", line.substr(0, date.size() + 2)) << line;
            const size_t close = line.find("] ", date.size());
            ASSERT_NE(std::string::npos, close) << line;
            ASSERT_EQ(*message->logMsg, line.substr(close + 2)) << line;
        }
    }
    EXPECT_EQ("alone", *first->lines().back().first->logMsg);
}

}  // namespace
