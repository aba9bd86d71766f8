// The base of every logger: its own serial queue, its name and its formatter.
//
// Queue order: whatever passes through both queues goes to the hub's queue first and from
// there to the logger's queue, never the reverse; so a formatter change made from another
// thread takes effect after every message already queued with the hub.
//
// - logFormatter() waits for the hub's queue and then the logger's queue: never call it from
//   either of them.
// - setLogFormatter() returns at once; the change is made later on the logger's queue.
// - A subclass reads formatter_ directly inside logMessage(), which runs on the logger's
//   queue, the only place formatter_ is read or written.
//
// Loggers are always owned by std::shared_ptr (the hub and the queued changes keep them alive
// that way); a subclass makes its instances with std::make_shared or shared_ptr(new ...).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Logging/LxLog.h"
#include "Logging/LxLogFormatter.h"
#include "Logging/LxLogger.h"
#include "Platform/Dispatch/DispatchQueue.h"

class LxAbstractLogger : public LxLogger, public std::enable_shared_from_this<LxAbstractLogger> {
public:
    ~LxAbstractLogger() override;

    // Does nothing; subclasses write the message.
    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override;
    std::shared_ptr<LxLogFormatter> logFormatter() override;
    void setLogFormatter(std::shared_ptr<LxLogFormatter> formatter) override;
    // The logger's own queue, made with the logger and never replaced.
    std::shared_ptr<platform::DispatchQueue> loggerQueue() override;
    // The name given at creation, which is also the label of the logger's queue.
    std::optional<std::string> loggerName() const override;

    // Whether the caller runs on the hub's queue.
    bool isOnGlobalLoggingQueue() const;
    // Whether the caller runs on this logger's queue.
    bool isOnInternalLoggerQueue() const;

protected:
    // name: the logger's name and the label of its queue (a subclass passes its own name).
    explicit LxAbstractLogger(std::string name);

    // Runs the step on this logger's queue after everything already queued with the hub: it
    // goes to the hub's queue, which passes it on to the logger's queue. Returns at once. The
    // step runs only if the logger still exists then, and the logger lives until it has run,
    // so a step may use `this`.
    void enqueueThroughHub(platform::Task step);
    // The same, but at once when the caller already runs on this logger's queue.
    void performOrEnqueueThroughHub(platform::Task step);
    // Runs fn on this logger's queue inside a task of the hub's queue and returns its result:
    // the read of a getter for outside callers. Never call it from either queue.
    template <class F>
    auto readThroughHub(F&& fn) {
        return LxLog::loggingQueue()->syncResult([&] { return loggerQueue_->syncResult(fn); });
    }

    std::shared_ptr<LxLogFormatter> formatter_;  // on loggerQueue_ only

private:
    const std::string name_;
    const std::shared_ptr<platform::DispatchQueue> loggerQueue_;
};
