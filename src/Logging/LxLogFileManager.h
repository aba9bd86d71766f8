// What the file logger asks of the object that owns its logs directory: naming, listing,
// making and deleting log files.
//
// Queues: the file logger calls every operation on its own queue. An implementation may run
// work of its own elsewhere (LxLogFileManagerDefault deletes old files on the hub's queue
// when its limit changes), so what it shares between the two is its own to guard.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Logging/LxLogFileInfo.h"

class LxLogFileManager {
public:
    virtual ~LxLogFileManager();

    // The directory of the log files, made when it is missing.
    virtual std::string logsDirectory() = 0;

    // The log files in the directory, in the order it lists them.
    virtual std::vector<std::string> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LxLogFileInfo>> unsortedLogFileInfos() = 0;
    // The same, newest (by creation date) first.
    virtual std::vector<std::string> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LxLogFileInfo>> sortedLogFileInfos() = 0;

    // Makes a new, empty log file and gives its full path; nothing when none can be made (the
    // manager reports why).
    virtual std::optional<std::string> createNewLogFile() = 0;

    // How many archived files are kept; 0 keeps all.
    virtual uint64_t maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(uint64_t count) = 0;

    // Optional hooks, called on the file logger's queue with the file's path; the defaults do
    // nothing. A newest file found too big or too old when the logger chose its file:
    virtual void didArchiveLogFile(const std::string& path);
    // The file the logger was writing, archived by a roll:
    virtual void didRollAndArchiveLogFile(const std::string& path);
};
