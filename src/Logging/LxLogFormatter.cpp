#include "Logging/LxLogFormatter.h"

LxLogFormatter::~LxLogFormatter() = default;

void LxLogFormatter::didAddToLogger(LxLogger&) {}

void LxLogFormatter::willRemoveFromLogger(LxLogger&) {}
