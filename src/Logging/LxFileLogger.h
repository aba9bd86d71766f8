// The rolling file logger: every message of the hub as one line of UTF-8 text appended to the
// current log file of a logs directory (LxLogFileManager).
//
// - Lines: the formatter's text (LxLogFileFormatterDefault from the start), or the message's
//   own text without one; a formatter giving nullptr drops the message. A text that does not
//   end in "\n" gets one. The size check follows each write, so a file holds whole lines and
//   ends with the one that crossed the limit.
// - The current file: the newest log file when it is not archived and under both limits
//   (after a restart the logger goes on appending to it); otherwise that file is archived and
//   a new one is made. An archived file is never written again.
// - Rolling: when a write takes the file to maximumFileSize() (0: no size limit), when the
//   file is rollingFrequency() seconds old (0 or less: no age limit; a one-shot timer, armed
//   when the file is opened), on rollLogFile(), and when the logger leaves the hub. A rolled
//   file is closed, synced and marked archived; the next message opens a new file.
// - Failures never stop the logging. A file found in the directory (the newest, after a
//   restart) that cannot be opened or written, or is no regular file (a FIFO, a device, a
//   socket: opening one never waits), is passed over: left as it is, never chosen again, and
//   the line goes to a new file. A file the logger made itself that fails tells of the disk
//   or the directory: the message is lost and the next one tries again. A write cut short
//   leaves no part of its line behind, so every line of a file is a whole message. Each run
//   of failures is one plain log line; a directory or file that cannot be made is reported
//   by the manager, with its own error. A file system without extended attributes keeps the
//   logger writing (each failed mark is logged by LxLogFileInfo).
//
// Threads: the hub calls logMessage() and willRemoveLogger() on the logger's queue
// "log.hub.fileLogger", where all its file state lives. The property getters wait for the
// hub's queue and then the logger's queue, so never call them from either; the setters return
// at once and take effect on the logger's queue after every message already queued with the
// hub, each followed by its check (a file too big or too old is rolled at once). rollLogFile()
// may be called from any thread. The operations marked "logger's queue" are for that queue
// alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Logging/LxAbstractLogger.h"
#include "Logging/LxLogFileInfo.h"
#include "Logging/LxLogFileManager.h"
#include "Platform/Dispatch/DispatchSource.h"

class LxFileLogger : public LxAbstractLogger {
public:
    // With a default manager (LxLogFileManagerDefault of the default directory).
    LxFileLogger();
    explicit LxFileLogger(std::shared_ptr<LxLogFileManager> logFileManager);
    // Syncs and closes the file being written and stops the timer.
    ~LxFileLogger() override;

    const std::shared_ptr<LxLogFileManager>& logFileManager() const { return logFileManager_; }

    // Bytes; default 1048576 (1 MiB).
    uint64_t maximumFileSize();
    void setMaximumFileSize(uint64_t maximumFileSize);
    // Seconds; default 86400 (24 hours).
    double rollingFrequency();
    void setRollingFrequency(double rollingFrequency);

    // Rolls the current file now: at once on the logger's queue, else after every message
    // already queued with the hub.
    void rollLogFile();

    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override;
    // A logger that leaves the hub archives its file.
    void willRemoveLogger() override;

    // Logger's queue: the file being written, chosen or made when there is none; nullptr when
    // no file can be had.
    std::shared_ptr<LxLogFileInfo> currentLogFileInfo();
    // Logger's queue: the open descriptor of the current file (opened when needed, which arms
    // the age timer); -1 when it cannot be opened.
    int currentLogFileHandle();
    // Logger's queue.
    void rollLogFileNow();
    void maybeRollLogFileDueToSize();
    void maybeRollLogFileDueToAge();
    void scheduleTimerToRollLogFileDueToAge();

private:
    enum class Write { written, lost, passedOver };
    // Writes the line to the current file (opened, chosen or made when needed).
    Write writeLine(const std::string& line);
    // currentLogFileHandle(); *passedOver (when given) tells whether a file that failed to
    // open was passed over.
    int openCurrentLogFile(bool* passedOver);
    // Passes over the current file when the logger did not make it: closed, its timer
    // stopped, dropped and never chosen again. False (nothing done) for a file of its own.
    bool passOverCurrentFile();
    // A failed open or write is logged once until a write succeeds again.
    void reportFailure(const char* what, int errnoValue);
    void closeCurrentFile();
    // After a write that failed when `written` bytes of it were out.
    void cutOffTornLine(int fd, size_t written);

    const std::shared_ptr<LxLogFileManager> logFileManager_;
    // On the logger's queue only:
    std::shared_ptr<LxLogFileInfo> currentLogFileInfo_;
    bool currentLogFileMadeHere_ = false;  // made by createNewLogFile(), not found
    // The last file passed over. Only the newest file is ever chosen, and a new file follows
    // every one passed over, so one is enough.
    std::string passedOverFilePath_;
    int currentLogFileHandle_ = -1;
    std::shared_ptr<platform::DispatchSource> rollingTimer_;
    uint64_t maximumFileSize_ = 1024 * 1024;
    double rollingFrequency_ = 60 * 60 * 24;
    bool failureReported_ = false;
    // The current file ends in part of a line that could not be cut off.
    bool tornLine_ = false;
};
