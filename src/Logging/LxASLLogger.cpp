#include "Logging/LxASLLogger.h"

#include <cstdint>

namespace {

// Indexed by flag minus 1.
constexpr int32_t kPriorityByFlag[4] = {2, 3, 5, 4};
constexpr int32_t kDefaultPriority = 5;

int32_t priorityForFlag(int32_t flag) {
    const uint32_t index = static_cast<uint32_t>(flag) - 1u;
    return index <= 3u ? kPriorityByFlag[index] : kDefaultPriority;
}

}  // namespace

std::shared_ptr<LxASLLogger> LxASLLogger::sharedInstance() {
    static const std::shared_ptr<LxASLLogger> instance(new LxASLLogger());
    return instance;
}

LxASLLogger::LxASLLogger()
    : LxAbstractLogger("log.hub.aslLogger"), client_(platform::SystemLogClient::open(nullptr, "com.apple.console", 0)) {}

std::optional<std::string> LxASLLogger::loggerName() const { return std::string("log.hub.aslLogger"); }

void LxASLLogger::logMessage(const std::shared_ptr<const LxLogMessage>& message) {
    LxLogText text = formatter_ ? formatter_->formatLogMessage(*message) : message->logMsg;
    if (!text) return;
    client_->log(priorityForFlag(message->logFlag), *text);
}
