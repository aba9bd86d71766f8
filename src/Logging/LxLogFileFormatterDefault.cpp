#include "Logging/LxLogFileFormatterDefault.h"

LxLogFileFormatterDefault::LxLogFileFormatterDefault(std::shared_ptr<const platform::DateFormatter> dateFormatter)
    : dateFormatter_(dateFormatter ? std::move(dateFormatter)
                                   : std::make_shared<const platform::DateFormatter>("yyyy/MM/dd HH:mm:ss:SSS")) {}

LxLogText LxLogFileFormatterDefault::formatLogMessage(const LxLogMessage& message) {
    return std::make_shared<const std::string>(dateFormatter_->stringFromDate(message.timestamp) + "  " + *message.logMsg);
}
