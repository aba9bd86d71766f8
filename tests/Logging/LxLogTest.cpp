#include "Logging/LxLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LoggingTestSupport.h"
#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"
#include "tools/Eventually.h"
#include "tools/LogCapture.h"

namespace {

using logging_test::Gate;
using logging_test::RecordingLogger;
using namespace std::chrono_literals;

void logWarning(const char* format, int n = 0) {
    LxLog::log(true, LogLevelWarning, LogFlagWarning, LogContextHttpServer, __FILE__, __func__, __LINE__, std::nullopt,
               format, n);
}
void logError(const char* format, int n = 0) {
    LxLog::log(false, LogLevelWarning, LogFlagError, LogContextDefault, __FILE__, __func__, __LINE__, std::nullopt,
               format, n);
}

// Runs fn on another thread; true when it returned within the time.
template <class F>
bool returnsWithin(std::chrono::milliseconds time, F fn) {
    auto done = std::async(std::launch::async, fn);
    return done.wait_for(time) == std::future_status::ready;
}

// Polls the condition until it holds or the time is up.
template <class F>
bool eventually(F condition, std::chrono::milliseconds time = 5s) {
    return testtools::eventually(condition, time, 1ms);
}

// A logger whose first delivery holds its count until release opens, and the window of
// pending messages filled behind it with "<format> 0" to "<format> 999".
struct HeldWindow {
    Gate entered;
    Gate release;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>("test.blocked", [this](const LxLogMessage&) {
        entered.open();
        release.wait();
    });

    // Whatever the test did, no delivery is left waiting on the gates.
    ~HeldWindow() {
        release.open();
        LxLog::flushLog();
    }

    // False when the first delivery never began.
    bool fill(const char* format) {
        LxLog::addLogger(logger);
        logWarning(format, 0);
        if (!entered.wait()) return false;
        for (int i = 1; i < LogMaxQueueSize; ++i) logWarning(format, i);
        return true;
    }
};

class LxLogTest : public ::testing::Test {
protected:
    void TearDown() override {
        LxLog::removeAllLoggers();
        LxLog::flushLog();
        LxLog::setProcessorCountForTesting(platform::processorCount());
    }
};

TEST_F(LxLogTest, SynchronousCallReturnsAfterEveryLoggerHasWritten) {
    auto slow = [](const LxLogMessage&) { std::this_thread::sleep_for(10ms); };
    auto first = std::make_shared<RecordingLogger>("test.first", slow);
    auto second = std::make_shared<RecordingLogger>("test.second", slow);
    LxLog::addLogger(first);
    LxLog::addLogger(second);

    logError("failed: %d", 7);

    EXPECT_EQ(std::vector<std::string>{"failed: 7"}, first->texts());
    EXPECT_EQ(std::vector<std::string>{"failed: 7"}, second->texts());
    auto message = first->messages().at(0);
    EXPECT_EQ(message, second->messages().at(0));  // one record shared by both
    EXPECT_EQ(LogFlagError, message->logFlag);
    EXPECT_EQ(LogLevelWarning, message->logLevel);
    EXPECT_EQ(LogContextDefault, message->logContext);
    EXPECT_STREQ(__FILE__, message->file);
    EXPECT_STREQ("logError", message->function);
}

TEST_F(LxLogTest, AsynchronousCallReturnsBeforeDelivery) {
    Gate gate;
    auto logger = std::make_shared<RecordingLogger>("test.gated", [&](const LxLogMessage&) { gate.wait(); });
    LxLog::addLogger(logger);

    EXPECT_TRUE(returnsWithin(5s, [] { logWarning("queued %d", 1); }));
    EXPECT_EQ(0u, logger->count());

    gate.open();
    LxLog::flushLog();
    EXPECT_EQ(std::vector<std::string>{"queued 1"}, logger->texts());
}

TEST_F(LxLogTest, CallerWaitsWhileAThousandMessagesArePending) {
    HeldWindow window;
    ASSERT_TRUE(window.fill("message %d"));

    // A nil format takes no count, so it does not wait either.
    EXPECT_TRUE(returnsWithin(5s, [] { logWarning(nullptr); }));

    std::atomic<bool> returned{false};
    std::thread caller([&] {
        logWarning("message %d", 1000);
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());

    window.release.open();
    caller.join();
    EXPECT_TRUE(returned.load());
    LxLog::flushLog();
    auto texts = window.logger->texts();
    ASSERT_EQ(1001u, texts.size());
    EXPECT_EQ("message 0", texts.front());
    EXPECT_EQ("message 1000", texts.back());
}

// Callers that outrun the loggers together wait at the full window and take the counts one
// at a time as deliveries end: none gets through before, none is left waiting after, and
// each caller's messages keep their order.
TEST_F(LxLogTest, ManyCallersWaitingAtAFullWindowAllGetThroughInOrder) {
    constexpr int kCallers = 8;
    constexpr int kPerCaller = 50;
    HeldWindow window;
    ASSERT_TRUE(window.fill("filler %d"));

    std::atomic<int> returned{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([t, &returned] {
            for (int i = 0; i < kPerCaller; ++i) {
                LxLog::log(true, LogLevelWarning, LogFlagWarning, LogContextHttpServer, __FILE__, __func__, __LINE__,
                           std::nullopt, "caller %d %d", t, i);
                ++returned;
            }
        });
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(0, returned.load());

    window.release.open();
    for (auto& c : callers) c.join();
    LxLog::flushLog();
    auto texts = window.logger->texts();
    ASSERT_EQ(static_cast<size_t>(LogMaxQueueSize + kCallers * kPerCaller), texts.size());
    std::vector<int> next(kCallers, 0);
    for (size_t k = static_cast<size_t>(LogMaxQueueSize); k < texts.size(); ++k) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(2, std::sscanf(texts[k].c_str(), "caller %d %d", &t, &i)) << texts[k];
        ASSERT_EQ(next[static_cast<size_t>(t)], i) << "caller " << t << " out of order";
        ++next[static_cast<size_t>(t)];
    }
}

TEST_F(LxLogTest, NilFormatProducesNothing) {
    auto logger = std::make_shared<RecordingLogger>();
    LxLog::addLogger(logger);
    logError(nullptr);
    logWarning(nullptr);
    LxLog::logArgs(false, LogLevelWarning, LogFlagError, 0, __FILE__, __func__, __LINE__, std::nullopt, nullptr, {});
    LxLog::flushLog();
    EXPECT_EQ(0u, logger->count());
}

TEST_F(LxLogTest, LoggerAddedTwiceGetsEveryMessageTwiceAndIsRemovedOnceAtATime) {
    auto twice = std::make_shared<RecordingLogger>();
    LxLog::addLogger(twice);
    LxLog::addLogger(twice);
    logError("one");
    EXPECT_EQ(2u, twice->count());

    LxLog::removeLogger(twice);
    logError("two");
    EXPECT_EQ(3u, twice->count());

    LxLog::removeLogger(twice);
    logError("three");
    EXPECT_EQ(3u, twice->count());

    LxLog::removeLogger(twice);  // not registered any more: nothing
    LxLog::removeLogger(nullptr);
    LxLog::addLogger(nullptr);
    logError("four");
    EXPECT_EQ(3u, twice->count());
}

TEST_F(LxLogTest, MessagesQueuedBeforeAdditionOrAfterRemovalAreNotDelivered) {
    Gate release;
    auto holder = std::make_shared<RecordingLogger>("test.holder", [&](const LxLogMessage&) { release.wait(); });
    LxLog::addLogger(holder);
    logWarning("before");
    auto late = std::make_shared<RecordingLogger>("test.late");
    LxLog::addLogger(late);
    logWarning("after");
    LxLog::removeLogger(late);
    logWarning("removed");
    release.open();
    LxLog::flushLog();
    EXPECT_EQ(std::vector<std::string>{"after"}, late->texts());
    EXPECT_EQ(3u, holder->count());
}

// A logger that keeps no queue of its own and counts its hooks.
class QueuelessLogger : public LxLogger {
public:
    explicit QueuelessLogger(std::optional<std::string> name) : name_(std::move(name)) {}
    void logMessage(const std::shared_ptr<const LxLogMessage>&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        labels_.push_back(platform::DispatchQueue::currentLabel());
    }
    std::shared_ptr<LxLogFormatter> logFormatter() override { return nullptr; }
    void setLogFormatter(std::shared_ptr<LxLogFormatter>) override {}
    void didAddLogger() override { note("didAdd"); }
    void willRemoveLogger() override { note("willRemove"); }
    void flush() override { note("flush"); }
    std::optional<std::string> loggerName() const override { return name_; }

    std::vector<std::string> labels() {
        std::lock_guard<std::mutex> lock(mutex_);
        return labels_;
    }
    std::vector<std::string> hooks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return hooks_;
    }

private:
    void note(const std::string& hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hooks_.push_back(hook + "@" + platform::DispatchQueue::currentLabel());
    }
    const std::optional<std::string> name_;
    std::mutex mutex_;
    std::vector<std::string> labels_;  // guarded by mutex_
    std::vector<std::string> hooks_;   // guarded by mutex_
};

TEST_F(LxLogTest, HubMakesAQueueForALoggerWithoutOneAndCallsItsHooksThere) {
    auto named = std::make_shared<QueuelessLogger>("test.named");
    auto unnamed = std::make_shared<QueuelessLogger>(std::nullopt);
    LxLog::addLogger(named);
    LxLog::addLogger(unnamed);
    logError("x");
    LxLog::flushLog();
    LxLog::removeLogger(named);
    LxLog::removeAllLoggers();
    LxLog::flushLog();
    // The removal hooks are queued on the loggers' queues, which the hub no longer waits for.
    ASSERT_TRUE(eventually([&] { return named->hooks().size() == 3 && unnamed->hooks().size() == 3; }));

    EXPECT_EQ(std::vector<std::string>{"test.named"}, named->labels());
    ASSERT_EQ(1u, unnamed->labels().size());
    EXPECT_EQ(std::vector<std::string>({"didAdd@test.named", "flush@test.named", "willRemove@test.named"}),
              named->hooks());
}

TEST_F(LxLogTest, FlushWaitsForQueuedMessagesAndFlushesEveryLogger) {
    LxLog::flushLog();  // no loggers: returns once the queue has drained

    auto logger = std::make_shared<RecordingLogger>("test.slow", [](const LxLogMessage&) {
        std::this_thread::sleep_for(1ms);
    });
    LxLog::addLogger(logger);
    for (int i = 0; i < 20; ++i) logWarning("m%d", i);
    LxLog::flushLog();
    EXPECT_EQ(20u, logger->count());
    EXPECT_EQ(1, logger->flushes());
}

TEST_F(LxLogTest, OneProcessorDeliversOneLoggerAfterTheOther) {
    LxLog::setProcessorCountForTesting(1);
    std::atomic<bool> firstRunning{false};
    std::atomic<bool> overlapped{false};
    auto first = std::make_shared<RecordingLogger>("test.first", [&](const LxLogMessage&) {
        firstRunning = true;
        std::this_thread::sleep_for(5ms);
        firstRunning = false;
    });
    auto second = std::make_shared<RecordingLogger>("test.second", [&](const LxLogMessage&) {
        if (firstRunning) overlapped = true;
    });
    LxLog::addLogger(first);
    LxLog::addLogger(second);
    for (int i = 0; i < 5; ++i) logError("m");
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(5u, second->count());
}

TEST_F(LxLogTest, SeveralProcessorsDeliverToLoggersInParallel) {
    LxLog::setProcessorCountForTesting(8);
    Gate secondStarted;
    std::atomic<bool> sawSecond{false};
    auto first = std::make_shared<RecordingLogger>("test.first", [&](const LxLogMessage&) {
        sawSecond = secondStarted.wait(5s);  // only possible while both run at once
    });
    auto second = std::make_shared<RecordingLogger>("test.second", [&](const LxLogMessage&) { secondStarted.open(); });
    LxLog::addLogger(first);
    LxLog::addLogger(second);
    logError("m");
    EXPECT_TRUE(sawSecond.load());
}

class ThrowingLogger : public LxAbstractLogger {
public:
    ThrowingLogger() : LxAbstractLogger("test.throwing") {}
    void logMessage(const std::shared_ptr<const LxLogMessage>&) override { throw std::runtime_error("disk full"); }
};

TEST_F(LxLogTest, ThrowingLoggerDoesNotStopTheOthersNorKeepItsCount) {
    auto recording = std::make_shared<RecordingLogger>();
    std::vector<std::string> plainLines;
    {
        testtools::LogCapture plainLog;
        LxLog::addLogger(std::make_shared<ThrowingLogger>());
        LxLog::addLogger(recording);
        for (int i = 0; i < LogMaxQueueSize + 5; ++i) logWarning("m%d", i);  // counts come back
        logError("last");
        plainLines = plainLog.lines();
    }

    EXPECT_EQ(static_cast<size_t>(LogMaxQueueSize) + 6, recording->count());
    ASSERT_FALSE(plainLines.empty());
    EXPECT_NE(std::string::npos, plainLines[0].find("disk full"));
}

TEST_F(LxLogTest, ManyConcurrentCallersKeepEachCallersOrder) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 300;
    auto first = std::make_shared<RecordingLogger>("test.first");
    auto second = std::make_shared<RecordingLogger>("test.second");
    LxLog::addLogger(first);
    LxLog::addLogger(second);

    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i)
                LxLog::log(i % 3 != 0, LogLevelWarning, i % 3 != 0 ? LogFlagWarning : LogFlagError, 80, __FILE__,
                           __func__, __LINE__, std::nullopt, "%d %d", t, i);
        });
    }
    for (auto& c : callers) c.join();
    LxLog::flushLog();

    for (const auto& logger : {first, second}) {
        auto texts = logger->texts();
        ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), texts.size());
        std::vector<int> next(kThreads, 0);
        for (const std::string& text : texts) {
            int t = -1;
            int i = -1;
            ASSERT_EQ(2, std::sscanf(text.c_str(), "%d %d", &t, &i));
            ASSERT_EQ(next[static_cast<size_t>(t)], i) << "caller " << t << " out of order";
            ++next[static_cast<size_t>(t)];
        }
    }
}

struct WithLevels {
    static int32_t level;
    static int32_t lxLogLevel() { return level; }
    static void lxSetLogLevel(int32_t l) { level = l; }
};
int32_t WithLevels::level = 3;

struct OnlyGetter {
    static int32_t lxLogLevel() { return 7; }
};

static_assert(LxLogLevelClass<WithLevels>);
static_assert(!LxLogLevelClass<OnlyGetter>);

TEST(LxLogLevelsTest, RegisteredClassesAnswerTheirLevels) {
    LxLog::registerClass<WithLevels>("WithLevels");
    LxLog::registerClass<WithLevels>("WithLevels");  // once only

    EXPECT_TRUE(LxLog::isRegisteredClass(typeid(WithLevels)));
    EXPECT_FALSE(LxLog::isRegisteredClass(typeid(OnlyGetter)));
    EXPECT_EQ(std::vector<std::type_index>{typeid(WithLevels)}, LxLog::registeredClasses());
    EXPECT_EQ(std::vector<std::string>{"WithLevels"}, LxLog::registeredClassNames());

    EXPECT_EQ(3, LxLog::logLevelForClass(typeid(WithLevels)));
    EXPECT_EQ(-1, LxLog::logLevelForClass(typeid(OnlyGetter)));
    EXPECT_EQ(-1, LxLog::logLevelForClassWithName("OnlyGetter"));

    LxLog::setLogLevel(1, typeid(WithLevels));
    EXPECT_EQ(1, LxLog::logLevelForClassWithName("WithLevels"));
    LxLog::setLogLevel(2, std::string_view("WithLevels"));
    EXPECT_EQ(2, WithLevels::level);
    LxLog::setLogLevel(5, std::string_view("Unknown"));  // ignored
    LxLog::setLogLevel(5, typeid(OnlyGetter));
    EXPECT_EQ(2, WithLevels::level);
}

}  // namespace
