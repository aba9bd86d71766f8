#include "Logging/Extensions/ContextFilterLogFormatter.h"

void LoggingContextSet::addToSet(int32_t context) {
    std::lock_guard<std::mutex> guard(lock_);
    set_.insert(context);
}

void LoggingContextSet::removeFromSet(int32_t context) {
    std::lock_guard<std::mutex> guard(lock_);
    set_.erase(context);
}

std::vector<int32_t> LoggingContextSet::currentSet() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {set_.begin(), set_.end()};
}

bool LoggingContextSet::isInSet(int32_t context) const {
    std::lock_guard<std::mutex> guard(lock_);
    return set_.count(context) != 0;
}

void ContextWhitelistFilterLogFormatter::addToWhitelist(int32_t context) { contextSet_.addToSet(context); }

void ContextWhitelistFilterLogFormatter::removeFromWhitelist(int32_t context) { contextSet_.removeFromSet(context); }

std::vector<int32_t> ContextWhitelistFilterLogFormatter::whitelist() const { return contextSet_.currentSet(); }

bool ContextWhitelistFilterLogFormatter::isOnWhitelist(int32_t context) const { return contextSet_.isInSet(context); }

LxLogText ContextWhitelistFilterLogFormatter::formatLogMessage(const LxLogMessage& message) {
    return isOnWhitelist(message.logContext) ? message.logMsg : nullptr;
}

void ContextBlacklistFilterLogFormatter::addToBlacklist(int32_t context) { contextSet_.addToSet(context); }

void ContextBlacklistFilterLogFormatter::removeFromBlacklist(int32_t context) { contextSet_.removeFromSet(context); }

std::vector<int32_t> ContextBlacklistFilterLogFormatter::blacklist() const { return contextSet_.currentSet(); }

bool ContextBlacklistFilterLogFormatter::isOnBlacklist(int32_t context) const { return contextSet_.isInSet(context); }

LxLogText ContextBlacklistFilterLogFormatter::formatLogMessage(const LxLogMessage& message) {
    return isOnBlacklist(message.logContext) ? nullptr : message.logMsg;
}
