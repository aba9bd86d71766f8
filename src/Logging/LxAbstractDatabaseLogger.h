// The base of a logger that keeps its messages in a database: it hands every message to the
// subclass's storage hook and batches the expensive steps, asking the subclass to save its
// pending entries when saveThreshold() of them are unsaved or saveInterval() seconds after
// the first unsaved one, and to delete entries older than maxAge() every deleteInterval()
// seconds. The subclass owns the storage; this class owns the counting, the two timers and
// the properties.
//
// - Save timer: made suspended when the logger joins the hub (or a save interval is set),
//   armed by the first unsaved entry to fire one interval after it (later entries do not
//   postpone it), suspended again by every save; never dropped while suspended.
// - Delete timer: runs while both deleteInterval() and maxAge() are above 0; the first pass
//   comes one interval after the logger joins the hub. A shorter maxAge() deletes at once and
//   times the next pass from then; a longer one waits for the timer.
// - Leaving the hub saves what is pending, then stops both timers, also when the save throws;
//   LxLog::flushLog() saves. A save that throws elsewhere leaves its entries unsaved and the
//   save timer armed, so that the next interval tries again.
// - A value of 0 or less switches the feature off (saveThreshold() 0: no saving by count);
//   a setter given the current value (or a double that is not a number) does nothing.
//
// Threads: the hooks, the hub's calls and both timers run on the logger's queue, one at a
// time. The getters wait for the hub's queue and then the logger's queue, so never call them
// from either. A setter runs at once on the logger's queue, else it returns at once and takes
// effect there after every message already queued with the hub; a getter called after it from
// the same thread sees the new value. savePendingLogEntries() and deleteOldLogEntries() may be
// called from any thread: at once on the logger's queue, else queued straight onto it.
//
// No subclass ships; a subclass passes its own name (its queue's label) and overrides the
// hooks. Like every logger it is owned by std::shared_ptr.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Logging/LxAbstractLogger.h"
#include "Platform/Dispatch/DispatchSource.h"

class LxAbstractDatabaseLogger : public LxAbstractLogger {
public:
    ~LxAbstractDatabaseLogger() override;

    // Unsaved entries that make a save at once; default 500; 0: never by count.
    uint64_t saveThreshold();
    void setSaveThreshold(uint64_t saveThreshold);
    // Seconds from the first unsaved entry to its save; default 60; 0 or less: no timer.
    double saveInterval();
    void setSaveInterval(double saveInterval);
    // Seconds after which entries are for the subclass to delete; default 604800 (7 days);
    // 0 or less: nothing is deleted.
    double maxAge();
    void setMaxAge(double maxAge);
    // Seconds between delete passes; default 300; 0 or less: no delete timer.
    double deleteInterval();
    void setDeleteInterval(double deleteInterval);
    // Whether a save goes through db_saveAndDelete() instead of db_save(); default false.
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool deleteOnEverySave);

    // A save (nothing when nothing is unsaved) or a delete pass, now.
    void savePendingLogEntries();
    void deleteOldLogEntries();

    // Hands the message to db_log() and counts it when accepted; gives it no formatter's text.
    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override;
    void didAddLogger() override;
    void willRemoveLogger() override;
    void flush() override;

protected:
    // name: the subclass's name, the label of its queue.
    explicit LxAbstractDatabaseLogger(std::string name);

    // The subclass's storage, on the logger's queue. The message as it came (a subclass
    // that wants a formatter's text asks formatter_); true when it was taken (it counts
    // towards saving). The base takes nothing.
    virtual bool db_log(const std::shared_ptr<const LxLogMessage>& message);
    // Writes the pending entries (a save while deleteOnEverySave() is false).
    virtual void db_save();
    // Removes the entries older than maxAge() (only while maxAge() is above 0).
    virtual void db_delete();
    // Writes the pending entries and removes the old ones (a save while
    // deleteOnEverySave() is true).
    virtual void db_saveAndDelete();

private:
    using Clock = std::chrono::steady_clock;

    // Runs the step at once on the logger's queue, else queues it there (not through the hub).
    void performOnLoggerQueue(platform::Task step);

    // On the logger's queue only:
    void performSaveAndSuspendSaveTimer();
    void performDelete();
    void createSuspendedSaveTimer();
    void updateAndResumeSaveTimer();
    void destroySaveTimer();
    void createAndStartDeleteTimer();
    void updateDeleteTimer();
    void destroyDeleteTimer();
    // A timer on the logger's queue whose handler runs the step while the logger exists.
    std::shared_ptr<platform::DispatchSource> makeTimer(void (LxAbstractDatabaseLogger::*step)());

    // On the logger's queue only:
    uint64_t saveThreshold_ = 500;
    double saveInterval_ = 60;
    double maxAge_ = 60 * 60 * 24 * 7;
    double deleteInterval_ = 60 * 5;
    bool deleteOnEverySave_ = false;
    bool saveTimerSuspended_ = false;
    uint64_t unsavedCount_ = 0;
    std::optional<Clock::time_point> unsavedTime_;     // the first unsaved entry's arrival
    std::shared_ptr<platform::DispatchSource> saveTimer_;
    std::optional<Clock::time_point> lastDeleteTime_;  // the last db_delete()
    std::shared_ptr<platform::DispatchSource> deleteTimer_;
};
