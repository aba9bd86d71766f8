// The call-site helpers of the log call: they pass the calling file, function and line.
//
//     LX_LOG_ERROR(context, format, args...)   an error, logged synchronously: returns when
//                                              every logger has written it
//     LX_LOG_WARN(context, format, args...)    a warning, logged asynchronously
//
// Both use the level LogLevelWarning and no tag. The file is the full source path (__FILE__);
// the function is the bare function name (__func__) for LogContextHttpServer and the full
// signature (__PRETTY_FUNCTION__) for every other context.
//
// The HTTP server code begins its texts with the file name and the calling object:
//
//     LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Connection died: %@", THIS_FILE, this, reason);
//     LX_LOG_ERROR(LogContextHttpServer, "%@: Failed to start HTTP Server: %@", THIS_FILE, error.describe());
//
// THIS_FILE is the calling file's name without directory and extension, as a
// std::string_view into __FILE__ (no copy, nothing to free).
//
// The rules of LxLog hold: never log from the hub's queue or from a logger's queue.
#pragma once

#include "Logging/LxLog.h"
#include "Logging/LxLogFunctions.h"

#define LX_LOG_FUNCTION(context) ((context) == LogContextHttpServer ? __func__ : __PRETTY_FUNCTION__)

#define LX_LOG_ERROR(context, format, ...)                                                              \
    LxLog::log(false, LogLevelWarning, LogFlagError, (context), __FILE__, LX_LOG_FUNCTION(context), __LINE__, \
               std::nullopt, (format) __VA_OPT__(, ) __VA_ARGS__)

#define LX_LOG_WARN(context, format, ...)                                                                   \
    LxLog::log(true, LogLevelWarning, LogFlagWarning, (context), __FILE__, LX_LOG_FUNCTION(context), __LINE__, \
               std::nullopt, (format) __VA_OPT__(, ) __VA_ARGS__)

#ifndef THIS_FILE
#define THIS_FILE (*LxExtractFileNameWithoutExtension(__FILE__))
#endif
