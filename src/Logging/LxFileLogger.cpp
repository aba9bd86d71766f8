#include "Logging/LxFileLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>

#include "Logging/LxLogFileFormatterDefault.h"
#include "Logging/LxLogFileManagerDefault.h"
#include "Platform/Error.h"
#include "Platform/PlainLog.h"

namespace {

// Writes all of the bytes, going on after a write cut short by a signal. Returns 0, or the
// errno of the failure; *written tells how many bytes went out before it.
int writeAll(int fd, const char* bytes, size_t length, size_t* written) {
    *written = 0;
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
        *written += static_cast<size_t>(n);
    }
    return 0;
}

// Opens an existing log file for appending, or gives the errno of the refusal. Only a regular
// file is written: a FIFO would hold the open (and with it the logger's queue, the caller of
// a synchronous log call and then every caller at the hub's window) until some reader came,
// and a device or socket is no log. The open never waits (O_NONBLOCK), and the type is asked
// of the descriptor, as a look at the path first could be answered by another file than the
// one opened.
int openRegularFileForAppending(const std::string& path, int* fd) {
    const int opened = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (opened < 0) return errno;
    struct stat status {};
    const bool statted = ::fstat(opened, &status) == 0;
    if (!statted || !S_ISREG(status.st_mode)) {
        // A directory never opens for writing. ENXIO is what the open itself says of a FIFO
        // without a reader and of a socket, so that every such entry is reported alike.
        const int error = statted ? ENXIO : errno;
        ::close(opened);
        return error;
    }
    // Blocking again for the writes: no wait is left to avoid on a regular file, and a write
    // must never end early with EAGAIN.
    const int flags = ::fcntl(opened, F_GETFL);
    if (flags >= 0) ::fcntl(opened, F_SETFL, flags & ~O_NONBLOCK);
    *fd = opened;
    return 0;
}

}  // namespace

LxFileLogger::LxFileLogger() : LxFileLogger(nullptr) {}

LxFileLogger::LxFileLogger(std::shared_ptr<LxLogFileManager> logFileManager)
    : LxAbstractLogger("log.hub.fileLogger"),
      logFileManager_(logFileManager ? std::move(logFileManager) : std::make_shared<LxLogFileManagerDefault>()) {
    formatter_ = std::make_shared<LxLogFileFormatterDefault>();
}

LxFileLogger::~LxFileLogger() {
    closeCurrentFile();
    if (rollingTimer_) rollingTimer_->cancel();
}

uint64_t LxFileLogger::maximumFileSize() {
    return readThroughHub([this] { return maximumFileSize_; });
}

void LxFileLogger::setMaximumFileSize(uint64_t maximumFileSize) {
    enqueueThroughHub([this, maximumFileSize] {
        maximumFileSize_ = maximumFileSize;
        maybeRollLogFileDueToSize();
    });
}

double LxFileLogger::rollingFrequency() {
    return readThroughHub([this] { return rollingFrequency_; });
}

void LxFileLogger::setRollingFrequency(double rollingFrequency) {
    enqueueThroughHub([this, rollingFrequency] {
        rollingFrequency_ = rollingFrequency;
        maybeRollLogFileDueToAge();
    });
}

void LxFileLogger::rollLogFile() {
    performOrEnqueueThroughHub([this] { rollLogFileNow(); });
}

void LxFileLogger::logMessage(const std::shared_ptr<const LxLogMessage>& message) {
    LxLogText text = message->logMsg;
    if (formatter_) text = formatter_->formatLogMessage(*message);
    if (!text) return;

    std::string line = *text;
    if (line.empty() || line.back() != '\n') line += '\n';
    // A file passed over leaves the line to a new one, which this logger makes itself and so
    // never passes over: one more try at most.
    if (writeLine(line) == Write::passedOver) writeLine(line);
    maybeRollLogFileDueToSize();
}

LxFileLogger::Write LxFileLogger::writeLine(const std::string& line) {
    bool passedOver = false;
    const int fd = openCurrentLogFile(&passedOver);
    if (fd < 0) return passedOver ? Write::passedOver : Write::lost;
    // A line torn by the last failed write that could not be cut off ends here first, so that
    // the message after it begins a line of its own.
    std::string_view bytes = line;
    std::string joined;
    if (tornLine_) {
        joined = "\n" + line;
        bytes = joined;
    }
    size_t written = 0;
    if (const int error = writeAll(fd, bytes.data(), bytes.size(), &written); error != 0) {
        if (written > 0) cutOffTornLine(fd, written);
        reportFailure("writing", error);
        // A file of our own making that fails tells of the disk or the directory, where a
        // new file would fail alike: it stays, and the next message tries it again.
        return passOverCurrentFile() ? Write::passedOver : Write::lost;
    }
    tornLine_ = false;
    failureReported_ = false;
    return Write::written;
}

void LxFileLogger::cutOffTornLine(int fd, size_t written) {
    // A write cut short (disk full, the file-size limit's EFBIG) leaves part of a line at the
    // end of the file. It is cut off again, back to the end of the last whole line: the message
    // is lost either way, and so whoever reads the file (a person, a tail, a parser) finds
    // whole messages only, never a fragment, and the next message is not glued to one.
    // Should the cut fail, the tear is remembered and the next message begins with a newline:
    // one broken line then, never two messages in one.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);  // appending: the end of the bytes just written
    const off_t lineStart = end - static_cast<off_t>(written);
    if (end >= 0 && lineStart >= 0 && ::ftruncate(fd, lineStart) == 0) {
        ::lseek(fd, lineStart, SEEK_SET);  // the size check reads the offset
        return;
    }
    tornLine_ = true;
}

void LxFileLogger::willRemoveLogger() { rollLogFileNow(); }

std::shared_ptr<LxLogFileInfo> LxFileLogger::currentLogFileInfo() {
    if (currentLogFileInfo_) return currentLogFileInfo_;

    const auto infos = logFileManager_->sortedLogFileInfos();
    if (!infos.empty() && !infos.front()->isArchived() && infos.front()->filePath() != passedOverFilePath_) {
        const auto& newest = infos.front();
        const bool tooBig = maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_;
        const bool tooOld = !tooBig && rollingFrequency_ > 0 && newest->age() >= rollingFrequency_;
        if (tooBig || tooOld) {
            newest->setIsArchived(true);
            logFileManager_->didArchiveLogFile(newest->filePath());
        } else {
            currentLogFileInfo_ = newest;
            currentLogFileMadeHere_ = false;
        }
    }
    if (!currentLogFileInfo_) {
        if (auto path = logFileManager_->createNewLogFile()) {
            currentLogFileInfo_ = LxLogFileInfo::logFileWithPath(std::move(*path));
            currentLogFileMadeHere_ = true;
        }
    }
    return currentLogFileInfo_;
}

int LxFileLogger::currentLogFileHandle() { return openCurrentLogFile(nullptr); }

int LxFileLogger::openCurrentLogFile(bool* passedOver) {
    if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
    const auto info = currentLogFileInfo();
    if (!info) return -1;

    // The file exists already (chosen or made above); it is never created here. Appending
    // keeps every line whole at the end, also after someone else has cut the file short.
    int fd = -1;
    if (const int error = openRegularFileForAppending(info->filePath(), &fd); error != 0) {
        reportFailure("opening", error);
        const bool passed = passOverCurrentFile();
        if (passedOver != nullptr) *passedOver = passed;
        // The next message chooses (or makes) its file anew instead of trying this path
        // for ever.
        currentLogFileInfo_.reset();
        return -1;
    }
    ::lseek(fd, 0, SEEK_END);
    currentLogFileHandle_ = fd;
    scheduleTimerToRollLogFileDueToAge();
    return currentLogFileHandle_;
}

bool LxFileLogger::passOverCurrentFile() {
    if (!currentLogFileInfo_ || currentLogFileMadeHere_) return false;
    // Not archived: the mark may not stick to what failed (a directory, a link to a device),
    // and a file that cannot be written would only fail once more. Remembered instead, for
    // as long as it could be the newest file.
    passedOverFilePath_ = currentLogFileInfo_->filePath();
    closeCurrentFile();
    currentLogFileInfo_.reset();
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
    return true;
}

void LxFileLogger::rollLogFileNow() {
    if (currentLogFileHandle_ < 0) return;
    closeCurrentFile();

    currentLogFileInfo_->setIsArchived(true);
    logFileManager_->didRollAndArchiveLogFile(currentLogFileInfo_->filePath());
    currentLogFileInfo_.reset();

    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
}

void LxFileLogger::maybeRollLogFileDueToSize() {
    if (maximumFileSize_ == 0 || currentLogFileHandle_ < 0) return;
    const off_t offset = ::lseek(currentLogFileHandle_, 0, SEEK_CUR);
    if (offset >= 0 && static_cast<uint64_t>(offset) >= maximumFileSize_) rollLogFileNow();
}

void LxFileLogger::maybeRollLogFileDueToAge() {
    if (rollingFrequency_ > 0 && currentLogFileInfo_ && currentLogFileInfo_->age() >= rollingFrequency_) {
        rollLogFileNow();
    } else {
        scheduleTimerToRollLogFileDueToAge();
    }
}

void LxFileLogger::scheduleTimerToRollLogFileDueToAge() {
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
    if (!currentLogFileInfo_ || rollingFrequency_ <= 0) return;
    // A file whose creation date cannot be read has no known age: a timer due at once would
    // find it young and re-arm itself at once, for ever.
    const auto created = currentLogFileInfo_->creationDate();
    if (!created) return;

    using namespace std::chrono;
    // An age the clock cannot reach is never reached: no timer.
    const double reachable = duration<double>(system_clock::time_point::max().time_since_epoch()).count() -
                             duration<double>(created->time_since_epoch()).count() - 1;
    if (!(rollingFrequency_ < reachable)) return;
    // Rounded up, so that the timer never fires a hair before the age is reached and then
    // finds the file still young.
    const auto due = *created + ceil<system_clock::duration>(duration<double>(rollingFrequency_));
    const auto delay = std::max(nanoseconds::zero(), duration_cast<nanoseconds>(due - system_clock::now()));
    auto timer = platform::DispatchSource::makeTimer(loggerQueue());
    std::weak_ptr<LxAbstractLogger> weakSelf = weak_from_this();
    timer->setEventHandler([weakSelf, this] {
        if (auto self = weakSelf.lock()) maybeRollLogFileDueToAge();
    });
    timer->setTimer(delay, platform::DispatchSource::kForever, nanoseconds(1));
    timer->resume();
    rollingTimer_ = std::move(timer);
}

void LxFileLogger::reportFailure(const char* what, int errnoValue) {
    if (failureReported_) return;
    failureReported_ = true;
    const std::string name = currentLogFileInfo_ ? currentLogFileInfo_->fileName() : std::string();
    platform::plainLog("LxFileLogger: Error %@ log file (%@): %@", what, name,
                       platform::posixError(errnoValue, "").describe());
}

void LxFileLogger::closeCurrentFile() {
    if (currentLogFileHandle_ < 0) return;
    ::fsync(currentLogFileHandle_);
    ::close(currentLogFileHandle_);
    currentLogFileHandle_ = -1;
    tornLine_ = false;  // the next file begins clean
}
