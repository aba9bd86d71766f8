// What the hub asks of a logger (LxLog::addLogger). Most loggers derive from
// LxAbstractLogger, which gives the queue, the name and the formatter handling.
//
// Queues: the hub calls logMessage, didAddLogger, willRemoveLogger and flush on the logger's
// own serial queue (loggerQueue(), or a queue the hub makes for it), one call at a time and in
// the hub's order. A logger never logs through the hub from its queue.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Logging/LxLogMessage.h"
#include "Platform/Dispatch/DispatchQueue.h"

class LxLogFormatter;

class LxLogger {
public:
    virtual ~LxLogger();

    // Writes one message; on the logger's queue.
    virtual void logMessage(const std::shared_ptr<const LxLogMessage>& message) = 0;
    virtual std::shared_ptr<LxLogFormatter> logFormatter() = 0;
    virtual void setLogFormatter(std::shared_ptr<LxLogFormatter> formatter) = 0;

    // Optional hooks, on the logger's queue; the defaults do nothing.
    virtual void didAddLogger();      // after the hub has registered the logger
    virtual void willRemoveLogger();  // when the hub unregisters it
    virtual void flush();             // when LxLog::flushLog runs

    // The serial queue the hub uses for this logger; nullptr (the default) lets the hub make
    // one, labelled with loggerName().
    virtual std::shared_ptr<platform::DispatchQueue> loggerQueue();
    // The logger's name; std::nullopt (the default) when it has none.
    virtual std::optional<std::string> loggerName() const;
};
