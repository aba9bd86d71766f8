#include "Logging/LxAbstractDatabaseLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LxLog.h"
#include "tools/Eventually.h"
#include "tools/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// A database that only counts: what it took, each save (with the entries it wrote and when)
// and each delete pass.
class CountingDatabaseLogger : public LxAbstractDatabaseLogger {
public:
    CountingDatabaseLogger() : LxAbstractDatabaseLogger("test.countingDatabaseLogger") {}

    struct Save {
        size_t entries;
        bool deleted;
        SteadyClock::time_point at;
    };

    std::atomic<bool> accepts{true};

    std::vector<Save> saves() {
        std::lock_guard<std::mutex> lock(mutex_);
        return saves_;
    }
    std::vector<SteadyClock::time_point> deletes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deletes_;
    }
    size_t taken() {
        std::lock_guard<std::mutex> lock(mutex_);
        return taken_;
    }

    using LxAbstractDatabaseLogger::isOnInternalLoggerQueue;

protected:
    bool db_log(const std::shared_ptr<const LxLogMessage>&) override {
        if (!accepts) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        ++taken_;
        ++pending_;
        return true;
    }
    void db_save() override { save(false); }
    void db_saveAndDelete() override { save(true); }
    void db_delete() override {
        std::lock_guard<std::mutex> lock(mutex_);
        EXPECT_TRUE(isOnInternalLoggerQueue());
        deletes_.push_back(SteadyClock::now());
    }

private:
    void save(bool deleted) {
        std::lock_guard<std::mutex> lock(mutex_);
        EXPECT_TRUE(isOnInternalLoggerQueue());
        saves_.push_back({pending_, deleted, SteadyClock::now()});
        pending_ = 0;
    }

    std::mutex mutex_;
    size_t taken_ = 0;                     // guarded by mutex_
    size_t pending_ = 0;                   // guarded by mutex_
    std::vector<Save> saves_;              // guarded by mutex_
    std::vector<SteadyClock::time_point> deletes_;  // guarded by mutex_
};

// Hands out memory like std::allocator and counts the blocks not yet given back.
template <class T>
struct CountingAllocator {
    using value_type = T;
    explicit CountingAllocator(std::shared_ptr<std::atomic<long>> live) : live(std::move(live)) {}
    template <class U>
    CountingAllocator(const CountingAllocator<U>& other) : live(other.live) {}

    T* allocate(size_t n) {
        ++*live;
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) {
        --*live;
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const CountingAllocator<U>& other) const {
        return live == other.live;
    }

    std::shared_ptr<std::atomic<long>> live;
};

// A database whose every save throws; it counts the attempts and the delete passes.
class ThrowingDatabaseLogger : public LxAbstractDatabaseLogger {
public:
    ThrowingDatabaseLogger() : LxAbstractDatabaseLogger("test.throwingDatabaseLogger") {}

    std::atomic<int> saveAttempts{0};
    std::atomic<int> deletePasses{0};

protected:
    bool db_log(const std::shared_ptr<const LxLogMessage>&) override { return true; }
    void db_save() override {
        ++saveAttempts;
        throw std::runtime_error("the database is gone");
    }
    void db_delete() override { ++deletePasses; }
};

// Logs synchronously: the logger has handled the message when it returns.
void logOne() {
    LxLog::log(false, LogLevelWarning, LogFlagError, LogContextDefault, __FILE__, __func__, __LINE__, std::nullopt, "entry");
}

class LxAbstractDatabaseLoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (added_) LxLog::removeLogger(logger_);
        LxLog::flushLog();
    }
    void add() {
        LxLog::addLogger(logger_);
        added_ = true;
    }
    void remove() {
        LxLog::removeLogger(logger_);
        added_ = false;
        settle();
    }
    // Returns when everything queued with the hub, and every setter called before, has run
    // on the logger's queue.
    void settle() { logger_->saveThreshold(); }

    std::shared_ptr<CountingDatabaseLogger> logger_ = std::make_shared<CountingDatabaseLogger>();
    bool added_ = false;
};

TEST_F(LxAbstractDatabaseLoggerTest, Defaults) {
    EXPECT_EQ(500u, logger_->saveThreshold());
    EXPECT_EQ(60.0, logger_->saveInterval());
    EXPECT_EQ(604800.0, logger_->maxAge());
    EXPECT_EQ(300.0, logger_->deleteInterval());
    EXPECT_FALSE(logger_->deleteOnEverySave());
    EXPECT_EQ("test.countingDatabaseLogger", logger_->loggerQueue()->label());
}

TEST_F(LxAbstractDatabaseLoggerTest, SavesAtOnceWhenTheThresholdIsReached) {
    add();
    for (int i = 0; i < 499; ++i) logOne();
    EXPECT_TRUE(logger_->saves().empty());
    logOne();
    ASSERT_EQ(1u, logger_->saves().size());
    EXPECT_EQ(500u, logger_->saves()[0].entries);
    EXPECT_FALSE(logger_->saves()[0].deleted);

    logger_->setDeleteOnEverySave(true);
    EXPECT_TRUE(logger_->deleteOnEverySave());
    for (int i = 0; i < 500; ++i) logOne();
    ASSERT_EQ(2u, logger_->saves().size());
    EXPECT_TRUE(logger_->saves()[1].deleted);  // through db_saveAndDelete
}

TEST_F(LxAbstractDatabaseLoggerTest, RefusedMessagesAndEmptySavesCallNoHook) {
    logger_->accepts = false;
    add();
    for (int i = 0; i < 600; ++i) logOne();
    logger_->savePendingLogEntries();
    LxLog::flushLog();
    settle();
    EXPECT_TRUE(logger_->saves().empty());
    EXPECT_EQ(0u, logger_->taken());

    logger_->accepts = true;
    logOne();
    LxLog::flushLog();
    logger_->savePendingLogEntries();  // nothing left after the flush
    settle();
    ASSERT_EQ(1u, logger_->saves().size());
    EXPECT_EQ(1u, logger_->saves()[0].entries);
}

TEST_F(LxAbstractDatabaseLoggerTest, TimerSavesOneIntervalAfterTheFirstUnsavedEntryAndThenRests) {
    logger_->setSaveInterval(0.3);
    add();
    const auto before = SteadyClock::now();
    logOne();
    ASSERT_TRUE(testtools::eventually([&] { return logger_->saves().size() == 1; }));
    EXPECT_GE(logger_->saves()[0].at - before, 300ms);
    EXPECT_EQ(1u, logger_->saves()[0].entries);

    // Suspended by the save: silence brings no further save.
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(1u, logger_->saves().size());
}

TEST_F(LxAbstractDatabaseLoggerTest, LaterEntriesDoNotPostponeTheTimer) {
    logger_->setSaveInterval(0.4);
    add();
    // An entry every 0.1 s, never a gap of a whole interval: were the timer re-armed by each
    // entry, nothing would be saved while they keep coming.
    const auto end = SteadyClock::now() + 2s;
    while (SteadyClock::now() < end) {
        logOne();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(logger_->saves().size(), 2u);
}

TEST_F(LxAbstractDatabaseLoggerTest, LowerThresholdSavesAtOnceAndZeroNeverSavesByCount) {
    add();
    for (int i = 0; i < 10; ++i) logOne();
    logger_->setSaveThreshold(10);
    settle();
    ASSERT_EQ(1u, logger_->saves().size());
    EXPECT_EQ(10u, logger_->saves()[0].entries);

    for (int i = 0; i < 12; ++i) logOne();  // saved again at 10
    logger_->setSaveThreshold(0);
    for (int i = 0; i < 600; ++i) logOne();
    settle();
    EXPECT_EQ(2u, logger_->saves().size());
    logger_->setSaveThreshold(600);  // at or below the 602 unsaved
    settle();
    ASSERT_EQ(3u, logger_->saves().size());
    EXPECT_EQ(602u, logger_->saves()[2].entries);
}

TEST_F(LxAbstractDatabaseLoggerTest, ShorterMaxAgeDeletesAtOnceAndRetimesTheDeleteTimer) {
    logger_->setDeleteInterval(0.6);
    add();
    std::this_thread::sleep_for(300ms);
    const auto shortened = SteadyClock::now();
    logger_->setMaxAge(3600);
    settle();
    ASSERT_EQ(1u, logger_->deletes().size());
    EXPECT_GE(logger_->deletes()[0], shortened);

    // Longer again: nothing at once.
    logger_->setMaxAge(604800);
    settle();
    EXPECT_EQ(1u, logger_->deletes().size());

    // The next pass comes one interval after the one just made, not one after joining.
    ASSERT_TRUE(testtools::eventually([&] { return logger_->deletes().size() >= 2; }));
    EXPECT_GE(logger_->deletes()[1] - logger_->deletes()[0], 600ms);
}

TEST_F(LxAbstractDatabaseLoggerTest, ZeroMaxAgeStopsDeleting) {
    logger_->setDeleteInterval(0.1);
    add();
    ASSERT_TRUE(testtools::eventually([&] { return logger_->deletes().size() >= 2; }));
    logger_->setMaxAge(0);
    settle();
    const size_t passes = logger_->deletes().size();
    logger_->deleteOldLogEntries();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(passes, logger_->deletes().size());

    // Enabled again: a pass at once, and the timer runs again.
    logger_->setMaxAge(60);
    settle();
    EXPECT_EQ(passes + 1, logger_->deletes().size());
    ASSERT_TRUE(testtools::eventually([&] { return logger_->deletes().size() >= passes + 2; }));
}

TEST_F(LxAbstractDatabaseLoggerTest, ZeroIntervalsStopTheTimers) {
    logger_->setSaveInterval(0.1);
    logger_->setDeleteInterval(0.1);
    add();
    logger_->setSaveInterval(0);
    logger_->setDeleteInterval(0);
    settle();
    const size_t passes = logger_->deletes().size();
    logOne();
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(logger_->saves().empty());
    EXPECT_EQ(passes, logger_->deletes().size());

    // A save interval again arms the timer for the entry already waiting.
    logger_->setSaveInterval(0.1);
    ASSERT_TRUE(testtools::eventually([&] { return logger_->saves().size() == 1; }));
}

TEST_F(LxAbstractDatabaseLoggerTest, LeavingTheHubSavesBeforeTheTimersGo) {
    logger_->setSaveInterval(0.2);
    logger_->setDeleteInterval(0.2);
    add();
    for (int i = 0; i < 3; ++i) logOne();
    remove();
    ASSERT_EQ(1u, logger_->saves().size());
    EXPECT_EQ(3u, logger_->saves()[0].entries);
    const size_t passes = logger_->deletes().size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(1u, logger_->saves().size());
    EXPECT_EQ(passes, logger_->deletes().size());
}

TEST_F(LxAbstractDatabaseLoggerTest, CurrentValuesAndValuesThatAreNoNumbersChangeNothing) {
    add();
    for (int i = 0; i < 5; ++i) logOne();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    logger_->setSaveThreshold(500);
    logger_->setSaveInterval(60);
    logger_->setMaxAge(604800);
    logger_->setDeleteInterval(300);
    logger_->setSaveInterval(nan);
    logger_->setMaxAge(nan);
    logger_->setDeleteInterval(nan);
    EXPECT_EQ(500u, logger_->saveThreshold());
    EXPECT_EQ(60.0, logger_->saveInterval());
    EXPECT_EQ(604800.0, logger_->maxAge());
    EXPECT_EQ(300.0, logger_->deleteInterval());
    EXPECT_TRUE(logger_->saves().empty());
    EXPECT_TRUE(logger_->deletes().empty());
}

TEST_F(LxAbstractDatabaseLoggerTest, TheCurrentDeleteIntervalLeavesTheTimerAsItIs) {
    // Of the four numbers only this one shows whether a current value is taken as new: a new
    // interval times the next pass from now, which here would move it from 1 s to 1.7 s.
    // The setter starts the timer itself, on the logger's queue, where a loaded machine may
    // run it before this thread reads the clock: so the clock is read first.
    const auto armedAtTheEarliest = SteadyClock::now();
    logger_->setDeleteInterval(1.0);
    add();
    std::this_thread::sleep_for(700ms);
    const auto setAgain = SteadyClock::now();
    logger_->setDeleteInterval(1.0);
    settle();
    ASSERT_TRUE(testtools::eventually([&] { return !logger_->deletes().empty(); }));
    EXPECT_GE(logger_->deletes()[0] - armedAtTheEarliest, 1000ms);
    // Re-armed by the second setter, the pass could come no sooner than 1 s after it.
    EXPECT_LT(logger_->deletes()[0] - setAgain, 1000ms);
}

TEST_F(LxAbstractDatabaseLoggerTest, IntervalsBeyondTheTimersRangeNeverFire) {
    logger_->setSaveInterval(1e300);
    logger_->setDeleteInterval(1e300);
    logger_->setMaxAge(1e300);  // longer: no pass at once
    add();
    logOne();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(logger_->saves().empty());
    EXPECT_TRUE(logger_->deletes().empty());
    LxLog::flushLog();
    EXPECT_EQ(1u, logger_->saves().size());
}

TEST_F(LxAbstractDatabaseLoggerTest, SettersRunAtOnceOnTheLoggersQueue) {
    add();
    for (int i = 0; i < 3; ++i) logOne();
    size_t savesInside = 0;
    logger_->loggerQueue()->sync([&] {
        logger_->setSaveThreshold(3);
        savesInside = logger_->saves().size();
        logger_->deleteOldLogEntries();
    });
    EXPECT_EQ(1u, savesInside);
    EXPECT_EQ(1u, logger_->deletes().size());
}

TEST_F(LxAbstractDatabaseLoggerTest, LoggerDroppedWithItsTimersSuspendedOrRunningGoesQuietly) {
    // Made with a counting allocator: the logger's storage goes back only when the last weak
    // reference to it has gone too, and each timer's handler holds one for as long as the
    // timer lives. So the storage tells whether a timer was left behind, firing into nothing.
    auto liveBlocks = std::make_shared<std::atomic<long>>(0);
    logger_ = std::allocate_shared<CountingDatabaseLogger>(CountingAllocator<CountingDatabaseLogger>(liveBlocks));
    auto weak = std::weak_ptr<CountingDatabaseLogger>(logger_);
    logger_->setSaveInterval(0.05);
    logger_->setDeleteInterval(0.05);
    add();
    logOne();
    LxLog::flushLog();  // the save timer is suspended again
    remove();           // and both timers go with the removal

    // Outside the hub: a save timer armed by an entry and suspended again by its save, and a
    // running delete timer, both new values.
    logger_->setSaveInterval(0.1);
    logger_->setDeleteInterval(0.1);
    settle();
    const auto entry = std::make_shared<const LxLogMessage>("entry", LogLevelWarning, LogFlagError, LogContextDefault,
                                                            __FILE__, __func__, __LINE__, std::nullopt, 0);
    logger_->loggerQueue()->sync([&] { logger_->logMessage(entry); });
    logger_->savePendingLogEntries();
    ASSERT_TRUE(testtools::eventually([&] { return logger_->saves().size() == 2 && logger_->deletes().size() >= 2; }));

    logger_.reset();
    EXPECT_TRUE(weak.expired());
    weak.reset();  // the test's own weak reference
    EXPECT_TRUE(testtools::eventually([&] { return liveBlocks->load() == 0; }))
        << "a timer of the dropped logger is still there";
}

TEST(LxAbstractDatabaseLoggerThrowingTest, RegressionRemovedLoggerWhoseSaveThrowsKeepsNoTimer) {
    testtools::LogCapture log;  // the pool's line for each task that threw
    auto logger = std::make_shared<ThrowingDatabaseLogger>();
    const std::weak_ptr<ThrowingDatabaseLogger> weak = logger;
    logger->setSaveInterval(0.1);
    logger->setDeleteInterval(0.1);
    LxLog::addLogger(logger);
    logOne();
    // A save that throws leaves the entry unsaved and the timer armed: it tries again.
    ASSERT_TRUE(testtools::eventually([&] { return logger->saveAttempts >= 2 && logger->deletePasses >= 1; }));

    LxLog::removeLogger(logger);
    logger->saveThreshold();  // the removal has run, its save (which threw too) included
    const int saveAttempts = logger->saveAttempts;
    const int deletePasses = logger->deletePasses;
    std::this_thread::sleep_for(600ms);  // six intervals of either timer
    EXPECT_EQ(saveAttempts, logger->saveAttempts);
    EXPECT_EQ(deletePasses, logger->deletePasses);
    logger.reset();
    EXPECT_TRUE(weak.expired());
}

}  // namespace
