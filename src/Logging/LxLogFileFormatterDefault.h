// The file logger's default line formatter: "<timestamp>  <message text>", the timestamp
// written "yyyy/MM/dd HH:mm:ss:SSS" in the process's local time zone. It never drops a
// message.
//
// Stateless but for its date formatter, which is immutable: one instance may serve several
// loggers at once.
#pragma once

#include <memory>

#include "Logging/LxLogFormatter.h"
#include "Platform/DateFormatter.h"

class LxLogFileFormatterDefault : public LxLogFormatter {
public:
    // dateFormatter: used as it is; nullptr for the default one above.
    explicit LxLogFileFormatterDefault(std::shared_ptr<const platform::DateFormatter> dateFormatter = nullptr);

    LxLogText formatLogMessage(const LxLogMessage& message) override;

private:
    const std::shared_ptr<const platform::DateFormatter> dateFormatter_;
};
