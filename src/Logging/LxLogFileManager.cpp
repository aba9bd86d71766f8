#include "Logging/LxLogFileManager.h"

LxLogFileManager::~LxLogFileManager() = default;

void LxLogFileManager::didArchiveLogFile(const std::string&) {}

void LxLogFileManager::didRollAndArchiveLogFile(const std::string&) {}
