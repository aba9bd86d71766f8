// The file logger's default manager of a logs directory.
//
// Log files are named "log-" + 6 upper-case hexadecimal digits (the start of a fresh random
// UUID) + ".txt"; a directory entry counts as a log file when its name begins with "log-",
// is at least 10 characters long and has 6 upper-case hexadecimal digits after "log-"
// (nothing after them is checked). Every new file is followed by a deletion pass, which keeps
// the file being written (the newest, when it is not archived) plus the newest
// maximumNumberOfLogFiles() archived files (default 5; 0 keeps everything). A change of that
// number to another value runs a deletion pass too, on the hub's queue.
//
// The default directory is the user's state directory ($XDG_STATE_HOME, else
// ~/.local/state), then the process name; without a home, the temporary directory takes the
// state directory's place.
//
// Threads: the file logger calls it on its queue; maximumNumberOfLogFiles may be read and set
// from any thread. A manager is owned by std::shared_ptr (the queued deletion pass of a limit
// change holds it weakly; a manager not owned that way runs no such pass).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Logging/LxLogFileManager.h"

class LxLogFileManagerDefault : public LxLogFileManager,
                                public std::enable_shared_from_this<LxLogFileManagerDefault> {
public:
    // logsDirectory: the directory to use; nothing for the default directory.
    explicit LxLogFileManagerDefault(std::optional<std::string> logsDirectory = std::nullopt);

    // The default directory of this process (see above).
    static std::string defaultLogsDirectory();
    // The rule behind it, with its inputs made explicit: $XDG_STATE_HOME (nothing when unset),
    // the user's home (nothing when there is none), the temporary directory and the process
    // name. A state directory that is not an absolute path is ignored, as the XDG rules say.
    static std::string defaultLogsDirectoryFor(const std::optional<std::string>& xdgStateHome,
                                               const std::optional<std::string>& home,
                                               std::string_view temporaryDirectory, std::string_view processName);

    // Whether a directory entry of that name is a log file.
    static bool isLogFile(std::string_view fileName);

    // The first 6 characters of a fresh random UUID (upper-case hexadecimal); nothing when
    // the secure random source fails.
    static std::optional<std::string> generateShortUUID();

    std::vector<std::string> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<std::shared_ptr<LxLogFileInfo>> unsortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    std::vector<std::shared_ptr<LxLogFileInfo>> sortedLogFileInfos() override;
    // Nothing when the directory or the file cannot be made; each failure is logged through
    // the plain log call with its own error, once until a file can be made again.
    std::optional<std::string> createNewLogFile() override;

    // The directory, made (with its parents, mode 0700) when nothing is at its path. A failure
    // is logged through the plain log call, once until the directory can be had again.
    std::string logsDirectory() override;
    // Removes the archived files beyond the newest maximumNumberOfLogFiles() (removal errors
    // are ignored).
    void deleteOldLogFiles();

    uint64_t maximumNumberOfLogFiles() const override;
    // A new value (not the current one) is followed by a deletion pass on the hub's queue.
    void setMaximumNumberOfLogFiles(uint64_t count) override;

private:
    // Makes the directory when nothing is at its path; false (logged) when it cannot be had.
    bool makeLogsDirectory();

    const std::string logsDirectory_;
    std::atomic<uint64_t> maximumNumberOfLogFiles_{5};
    std::atomic<bool> directoryFailureReported_{false};  // until the directory is there again
    std::atomic<bool> fileFailureReported_{false};       // until a file is made again
};
