#include "Logging/LxFileLogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "Logging/LxLogFileFormatterDefault.h"
#include "Logging/LxLogFileManagerDefault.h"
#include "Platform/Error.h"
#include "Platform/PlainLog.h"

namespace {

// Writes all of the bytes, going on after a write cut short by a signal. Returns 0, or the
// errno of the failure.
int writeAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
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
    if (const int error = writeAll(fd, line.data(), line.size()); error != 0) {
        reportFailure("writing", error);
        // A file of our own making that fails tells of the disk or the directory, where a
        // new file would fail alike: it stays, and the next message tries it again.
        return passOverCurrentFile() ? Write::passedOver : Write::lost;
    }
    failureReported_ = false;
    return Write::written;
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
    const int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        reportFailure("opening", errno);
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
}
