// What a formatter does for a logger: turns a record into the text the logger writes.
//
// A formatter belongs to one logger at a time (LxAbstractLogger::setLogFormatter) and is
// called on that logger's queue only, so it needs no guard of its own for per-logger state.
// It must not log through the hub.
#pragma once

#include "Logging/LxLogMessage.h"

class LxLogger;

class LxLogFormatter {
public:
    virtual ~LxLogFormatter();

    // The text to write for the record: the record's own `logMsg` to leave it as it is, a new
    // text, or nullptr to drop the message for this logger (the other loggers still get it).
    virtual LxLogText formatLogMessage(const LxLogMessage& message) = 0;

    // Optional hooks, called on the logger's queue when the formatter is set on a logger and
    // when it is replaced there. The defaults do nothing.
    virtual void didAddToLogger(LxLogger& logger);
    virtual void willRemoveFromLogger(LxLogger& logger);
};
