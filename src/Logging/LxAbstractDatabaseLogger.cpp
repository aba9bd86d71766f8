#include "Logging/LxAbstractDatabaseLogger.h"

#include <algorithm>
#include <limits>

namespace {

using platform::DispatchSource;
using std::chrono::nanoseconds;

// Two values differ when one is less or greater than the other; a value that is not a
// number never differs.
bool differs(double a, double b) { return a < b || a > b; }

// A positive number of seconds in whole nanoseconds; beyond what a timer can count: never.
nanoseconds wholeNanoseconds(double seconds) {
    const double ns = seconds * 1e9;
    if (!(ns < static_cast<double>(std::numeric_limits<int64_t>::max()))) return DispatchSource::kForever;
    return nanoseconds(static_cast<int64_t>(ns));
}

// The delay from now to one interval after `from` (one interval from now when there is no
// `from`); a moment already past is now.
template <class TimePoint>
nanoseconds delayUntilIntervalAfter(const std::optional<TimePoint>& from, nanoseconds interval) {
    if (interval == DispatchSource::kForever || !from) return interval;
    const auto remaining = std::chrono::duration_cast<nanoseconds>(*from - TimePoint::clock::now()) + interval;
    return std::max(nanoseconds::zero(), remaining);
}

constexpr nanoseconds kLeeway{1};

}  // namespace

LxAbstractDatabaseLogger::LxAbstractDatabaseLogger(std::string name) : LxAbstractLogger(std::move(name)) {}

LxAbstractDatabaseLogger::~LxAbstractDatabaseLogger() {
    destroySaveTimer();
    destroyDeleteTimer();
}

// --- Properties -------------------------------------------------------------------------

uint64_t LxAbstractDatabaseLogger::saveThreshold() {
    return readThroughHub([this] { return saveThreshold_; });
}

void LxAbstractDatabaseLogger::setSaveThreshold(uint64_t saveThreshold) {
    performOrEnqueueThroughHub([this, saveThreshold] {
        if (saveThreshold == saveThreshold_) return;
        saveThreshold_ = saveThreshold;
        if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
    });
}

double LxAbstractDatabaseLogger::saveInterval() {
    return readThroughHub([this] { return saveInterval_; });
}

void LxAbstractDatabaseLogger::setSaveInterval(double saveInterval) {
    performOrEnqueueThroughHub([this, saveInterval] {
        if (!differs(saveInterval, saveInterval_)) return;
        saveInterval_ = saveInterval;
        if (saveInterval_ > 0) {
            if (!saveTimer_) createSuspendedSaveTimer();
            updateAndResumeSaveTimer();
        } else if (saveTimer_) {
            destroySaveTimer();
        }
    });
}

double LxAbstractDatabaseLogger::maxAge() {
    return readThroughHub([this] { return maxAge_; });
}

void LxAbstractDatabaseLogger::setMaxAge(double maxAge) {
    performOrEnqueueThroughHub([this, maxAge] {
        if (!differs(maxAge, maxAge_)) return;
        const double oldMaxAge = maxAge_;
        maxAge_ = maxAge;
        bool deleteNow = false;
        if (oldMaxAge > 0) {
            if (maxAge_ <= 0) {
                destroyDeleteTimer();
            } else {
                // Entries that the shorter age makes old go now; a longer one waits.
                deleteNow = maxAge_ < oldMaxAge;
            }
        } else {
            deleteNow = maxAge_ > 0;
        }
        if (!deleteNow) return;
        performDelete();
        if (deleteTimer_) {
            updateDeleteTimer();
        } else {
            createAndStartDeleteTimer();
        }
    });
}

double LxAbstractDatabaseLogger::deleteInterval() {
    return readThroughHub([this] { return deleteInterval_; });
}

void LxAbstractDatabaseLogger::setDeleteInterval(double deleteInterval) {
    performOrEnqueueThroughHub([this, deleteInterval] {
        if (!differs(deleteInterval, deleteInterval_)) return;
        deleteInterval_ = deleteInterval;
        if (deleteInterval_ > 0) {
            if (deleteTimer_) {
                updateDeleteTimer();
            } else {
                createAndStartDeleteTimer();
            }
        } else if (deleteTimer_) {
            destroyDeleteTimer();
        }
    });
}

bool LxAbstractDatabaseLogger::deleteOnEverySave() {
    return readThroughHub([this] { return deleteOnEverySave_; });
}

void LxAbstractDatabaseLogger::setDeleteOnEverySave(bool deleteOnEverySave) {
    performOrEnqueueThroughHub([this, deleteOnEverySave] { deleteOnEverySave_ = deleteOnEverySave; });
}

// --- Saving and deleting on request ----------------------------------------------------

void LxAbstractDatabaseLogger::savePendingLogEntries() {
    performOnLoggerQueue([this] { performSaveAndSuspendSaveTimer(); });
}

void LxAbstractDatabaseLogger::deleteOldLogEntries() {
    performOnLoggerQueue([this] { performDelete(); });
}

void LxAbstractDatabaseLogger::performOnLoggerQueue(platform::Task step) {
    if (isOnInternalLoggerQueue()) {
        step();
        return;
    }
    std::weak_ptr<LxAbstractLogger> weakSelf = weak_from_this();
    loggerQueue()->async([weakSelf, step = std::move(step)] {
        if (auto self = weakSelf.lock()) step();
    });
}

// --- The hub's calls ------------------------------------------------------------------------

void LxAbstractDatabaseLogger::logMessage(const std::shared_ptr<const LxLogMessage>& message) {
    if (!db_log(message)) return;
    ++unsavedCount_;
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
        performSaveAndSuspendSaveTimer();
    } else if (unsavedCount_ == 1) {
        unsavedTime_ = Clock::now();
        updateAndResumeSaveTimer();
    }
}

void LxAbstractDatabaseLogger::didAddLogger() {
    createSuspendedSaveTimer();
    createAndStartDeleteTimer();
}

void LxAbstractDatabaseLogger::willRemoveLogger() {
    // The timers go even when the subclass's save throws: a logger that has left the hub is
    // never woken again. (What the save threw goes on to the queue, which reports it.)
    struct TimersGo {
        LxAbstractDatabaseLogger& logger;
        ~TimersGo() {
            logger.destroySaveTimer();
            logger.destroyDeleteTimer();
        }
    } timersGo{*this};
    performSaveAndSuspendSaveTimer();
}

void LxAbstractDatabaseLogger::flush() { performSaveAndSuspendSaveTimer(); }

// --- Hooks ------------------------------------------------------------------------------

bool LxAbstractDatabaseLogger::db_log(const std::shared_ptr<const LxLogMessage>&) { return false; }

void LxAbstractDatabaseLogger::db_save() {}

void LxAbstractDatabaseLogger::db_delete() {}

void LxAbstractDatabaseLogger::db_saveAndDelete() {}

// --- Saving, deleting and the timers ---------------------------------------------------

void LxAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
    if (unsavedCount_ > 0) {
        if (deleteOnEverySave_) {
            db_saveAndDelete();
        } else {
            db_save();
        }
    }
    unsavedCount_ = 0;
    unsavedTime_.reset();
    if (saveTimer_ && !saveTimerSuspended_) {
        saveTimer_->suspend();
        saveTimerSuspended_ = true;
    }
}

void LxAbstractDatabaseLogger::performDelete() {
    if (maxAge_ <= 0) return;
    db_delete();
    lastDeleteTime_ = Clock::now();
}

std::shared_ptr<platform::DispatchSource> LxAbstractDatabaseLogger::makeTimer(void (LxAbstractDatabaseLogger::*step)()) {
    auto timer = DispatchSource::makeTimer(loggerQueue());
    std::weak_ptr<LxAbstractLogger> weakSelf = weak_from_this();
    timer->setEventHandler([weakSelf, this, step] {
        if (auto self = weakSelf.lock()) (this->*step)();
    });
    return timer;
}

void LxAbstractDatabaseLogger::createSuspendedSaveTimer() {
    if (saveTimer_ || saveInterval_ <= 0) return;
    // Made suspended; the first unsaved entry arms and resumes it.
    saveTimer_ = makeTimer(&LxAbstractDatabaseLogger::performSaveAndSuspendSaveTimer);
    saveTimerSuspended_ = true;
}

void LxAbstractDatabaseLogger::updateAndResumeSaveTimer() {
    if (!saveTimer_ || saveInterval_ <= 0 || !unsavedTime_) return;
    const nanoseconds interval = wholeNanoseconds(saveInterval_);
    saveTimer_->setTimer(delayUntilIntervalAfter(unsavedTime_, interval), interval, kLeeway);
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
}

void LxAbstractDatabaseLogger::destroySaveTimer() {
    if (!saveTimer_) return;
    saveTimer_->cancel();
    // A suspended source is resumed before it is let go, or its cancellation never completes.
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
    saveTimer_.reset();
}

void LxAbstractDatabaseLogger::createAndStartDeleteTimer() {
    if (deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
    deleteTimer_ = makeTimer(&LxAbstractDatabaseLogger::performDelete);
    updateDeleteTimer();
    deleteTimer_->resume();
}

void LxAbstractDatabaseLogger::updateDeleteTimer() {
    if (!deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
    const nanoseconds interval = wholeNanoseconds(deleteInterval_);
    deleteTimer_->setTimer(delayUntilIntervalAfter(lastDeleteTime_, interval), interval, kLeeway);
}

void LxAbstractDatabaseLogger::destroyDeleteTimer() {
    if (!deleteTimer_) return;
    deleteTimer_->cancel();
    deleteTimer_.reset();
}
