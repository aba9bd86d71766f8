#include "Logging/LxLogger.h"

LxLogger::~LxLogger() = default;

void LxLogger::didAddLogger() {}

void LxLogger::willRemoveLogger() {}

void LxLogger::flush() {}

std::shared_ptr<platform::DispatchQueue> LxLogger::loggerQueue() { return nullptr; }

std::optional<std::string> LxLogger::loggerName() const { return std::nullopt; }
