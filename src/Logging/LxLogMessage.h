// One log message: the text of a log call and where it came from.
//
// A record is made in the caller's thread by the log call (LxLog), is immutable from then on
// and is shared read-only, as std::shared_ptr<const LxLogMessage>, by every logger of the
// message; loggers and formatters read its fields directly. It lives until the last of the
// caller, the hub and the loggers has let go of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// A message text. Shared and immutable, so that a formatter can hand back the record's own
// text (the very same object) and a logger can tell that from a new text, even an equal one;
// nullptr is "no text" (a formatter dropping the message).
using LxLogText = std::shared_ptr<const std::string>;

// A tag a caller may attach to a message; std::nullopt when none (every call of the system).
using LxLogTag = std::optional<std::string>;

// Option bits of a record.
enum : int32_t {
    LxLogMessageCopyFile = 1 << 0,      // keep an own copy of `file`
    LxLogMessageCopyFunction = 1 << 1,  // keep an own copy of `function`
};

class LxLogMessage {
public:
    using Clock = std::chrono::system_clock;

    // Makes the record, stamped now in the calling thread with its thread id, thread name and
    // current queue label. Without the option bits `file` and `function` are kept as given
    // and must outlive the record (call sites pass __FILE__ and __func__).
    LxLogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
                 const char* function, int32_t line, LxLogTag tag, int32_t options);
    // The same with a given timestamp instead of now.
    LxLogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
                 const char* function, int32_t line, LxLogTag tag, int32_t options, Clock::time_point timestamp);
    ~LxLogMessage();

    LxLogMessage(const LxLogMessage&) = delete;
    LxLogMessage& operator=(const LxLogMessage&) = delete;

    // The thread id in lower-case hexadecimal without prefix or leading zeros (6659: "1a03").
    std::string threadID() const;
    // The file name without directory and extension (LxExtractFileNameWithoutExtension);
    // std::nullopt when `file` is nullptr. Points into `file`.
    std::optional<std::string_view> fileName() const;
    // `function` as text; std::nullopt when it is nullptr.
    std::optional<std::string> methodName() const;

    const int32_t logLevel;
    const int32_t logFlag;
    const int32_t logContext;
    const LxLogText logMsg;                 // never nullptr
    const Clock::time_point timestamp;
    const char* const file;                 // owned (and freed) when LxLogMessageCopyFile is set
    const char* const function;             // owned when LxLogMessageCopyFunction is set
    const int32_t lineNumber;
    const uint32_t machThreadID;            // the caller's kernel thread id
    const char* const queueLabel;           // own copy of the caller's queue label ("" on none; DispatchQueue::currentLabel)
    const std::string threadName;           // the caller's own thread name, possibly empty ("" on a pool worker)
    const LxLogTag tag;
    const int32_t options;
};
