#include "Logging/LxAbstractLogger.h"

#include "Logging/LxLog.h"

LxAbstractLogger::LxAbstractLogger(std::string name)
    : name_(std::move(name)), loggerQueue_(platform::DispatchQueue::createSerial(name_)) {
    // The logger itself is the key (and the value) that tells its queue apart from others.
    loggerQueue_->setSpecific(this, this);
}

LxAbstractLogger::~LxAbstractLogger() {
    // The queue may outlive the logger (a task still queued holds it); a later object at the
    // same address must not be taken for this one.
    loggerQueue_->setSpecific(this, nullptr);
}

void LxAbstractLogger::logMessage(const std::shared_ptr<const LxLogMessage>&) {}

std::shared_ptr<LxLogFormatter> LxAbstractLogger::logFormatter() {
    return readThroughHub([&] { return formatter_; });
}

void LxAbstractLogger::setLogFormatter(std::shared_ptr<LxLogFormatter> formatter) {
    enqueueThroughHub([this, formatter = std::move(formatter)]() mutable {
        if (formatter_ == formatter) return;
        if (formatter_) formatter_->willRemoveFromLogger(*this);
        formatter_ = std::move(formatter);
        if (formatter_) formatter_->didAddToLogger(*this);
    });
}

void LxAbstractLogger::enqueueThroughHub(platform::Task step) {
    std::weak_ptr<LxAbstractLogger> weakSelf = weak_from_this();
    auto loggerQueue = loggerQueue_;
    LxLog::loggingQueue()->async([weakSelf, loggerQueue, step = std::move(step)]() mutable {
        loggerQueue->async([weakSelf, step = std::move(step)] {
            if (std::shared_ptr<LxAbstractLogger> self = weakSelf.lock()) step();
        });
    });
}

void LxAbstractLogger::performOrEnqueueThroughHub(platform::Task step) {
    if (isOnInternalLoggerQueue()) {
        step();
    } else {
        enqueueThroughHub(std::move(step));
    }
}

std::shared_ptr<platform::DispatchQueue> LxAbstractLogger::loggerQueue() { return loggerQueue_; }

std::optional<std::string> LxAbstractLogger::loggerName() const { return name_; }

bool LxAbstractLogger::isOnGlobalLoggingQueue() const {
    return platform::DispatchQueue::getSpecific(&GlobalLoggingQueueIdentityKey) != nullptr;
}

bool LxAbstractLogger::isOnInternalLoggerQueue() const {
    return platform::DispatchQueue::getSpecific(this) == static_cast<const void*>(this);
}
