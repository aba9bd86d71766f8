// The log call of the fuzz targets: the text is formatted as the logging hub would format it
// (so the arguments a parser logs go through the formatter too) and then dropped. The hub
// itself, with its queues and loggers, is not part of a fuzz target.
#include "Logging/LxLog.h"

void LxLog::logArgs(bool, int32_t, int32_t, int32_t, const char*, const char*, int32_t, LxLogTag, const char* format,
                    std::initializer_list<platform::FormatArg> args) {
    if (format) (void)platform::formatString(format, args);
}
