#include "Logging/LxLogMessage.h"

#include <cstdio>
#include <cstdlib>

#include "Logging/LxLogFunctions.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/ThreadInfo.h"

LxLogMessage::LxLogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
                           const char* function, int32_t line, LxLogTag tag, int32_t options)
    : LxLogMessage(std::move(logMsg), level, flag, context, file, function, line, std::move(tag), options,
                   Clock::now()) {}

LxLogMessage::LxLogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
                           const char* function, int32_t line, LxLogTag tag, int32_t options,
                           Clock::time_point timestamp)
    : logLevel(level),
      logFlag(flag),
      logContext(context),
      logMsg(std::make_shared<const std::string>(std::move(logMsg))),
      timestamp(timestamp),
      file((options & LxLogMessageCopyFile) ? lx_str_copy(file) : file),
      function((options & LxLogMessageCopyFunction) ? lx_str_copy(function) : function),
      lineNumber(line),
      machThreadID(static_cast<uint32_t>(platform::currentThreadId())),
      queueLabel(lx_str_copy(platform::DispatchQueue::currentLabel().c_str())),
      // A pool worker's name is the pool's, shared by every worker: it tells no thread apart,
      // so the record has the worker as a thread without a name, which is printed by its id.
      threadName(platform::DispatchQueue::currentThreadIsPoolWorker() ? std::string() : platform::currentThreadName()),
      tag(std::move(tag)),
      options(options) {}

LxLogMessage::~LxLogMessage() {
    if (options & LxLogMessageCopyFile) std::free(const_cast<char*>(file));
    if (options & LxLogMessageCopyFunction) std::free(const_cast<char*>(function));
    std::free(const_cast<char*>(queueLabel));
}

std::string LxLogMessage::threadID() const {
    char text[9];
    int n = std::snprintf(text, sizeof text, "%x", machThreadID);
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::optional<std::string_view> LxLogMessage::fileName() const { return LxExtractFileNameWithoutExtension(file); }

std::optional<std::string> LxLogMessage::methodName() const {
    if (function == nullptr) return std::nullopt;
    return std::string(function);
}
