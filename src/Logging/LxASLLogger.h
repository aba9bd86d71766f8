// The system-log logger: every message of the hub as one system-log entry (syslog, through
// platform::SystemLogClient) whose text is the message text alone, and whose priority follows
// the message's flag:
//     flag 1 (error)   -> 2 (critical)
//     flag 2 (warning) -> 3 (error)
//     flag 3           -> 5 (notice)
//     flag 4 (info)    -> 4 (warning)
//     any other flag   -> 5 (notice)
// '%' characters of the text reach the log as they are.
//
// One instance per process (sharedInstance()), made on first use and never destroyed. Its one
// client is opened with the instance and used on the logger's queue "log.hub.aslLogger" only,
// where the hub calls logMessage().
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Logging/LxAbstractLogger.h"
#include "Platform/SystemLog/SystemLog.h"

class LxASLLogger final : public LxAbstractLogger {
public:
    static std::shared_ptr<LxASLLogger> sharedInstance();

    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override;
    std::optional<std::string> loggerName() const override;

private:
    LxASLLogger();

    const std::unique_ptr<platform::SystemLogClient> client_;  // used on the logger's queue only
};
