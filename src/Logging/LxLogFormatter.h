// What a formatter does for a logger: turns a record into the text the logger writes.
//
// A formatter may be set on one logger or on several at once (LxAbstractLogger::
// setLogFormatter). Each logger calls it on its own queue only, one message at a time; so a
// formatter set on one logger needs no guard, while one shared by several loggers is called
// from their queues at the same time and must guard whatever state it keeps (the formatters
// of Logging/Extensions do; DispatchQueueLogFormatter counts its loggers for this). It must
// not log through the hub.
#pragma once

#include "Logging/LxLogMessage.h"

class LxLogger;

class LxLogFormatter {
public:
    virtual ~LxLogFormatter();

    // The text to write for the record: the record's own `logMsg` to leave it as it is, a new
    // text, or nullptr to drop the message for this logger (the other loggers still get it).
    virtual LxLogText formatLogMessage(const LxLogMessage& message) = 0;

    // Optional hooks, called on a logger's queue when the formatter is set on that logger and
    // when it is replaced there; with several loggers, once for each, on each one's queue. The
    // defaults do nothing.
    virtual void didAddToLogger(LxLogger& logger);
    virtual void willRemoveFromLogger(LxLogger& logger);
};
