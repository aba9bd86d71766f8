// A formatter that writes each message as "<date> [<queue>] <text>": the date as
// "yyyy-MM-dd HH:mm:ss:SSS" in local time, and the name of the queue or thread that logged it.
//
// The name is the caller's queue label, or its thread name when it logged from a global queue
// or from no queue, or its thread id in hexadecimal when the thread has no name either. A
// replacement table renames labels and thread names ("main-thread", the main queue, reads
// "main"), and the name can be cut to a maximum length or padded with blanks to a minimum.
//
// May be set on several loggers at once and called from all their queues together: it counts
// its loggers and, while it has more than one, gives every thread a date formatter of its own;
// with one (or none) it keeps one, which the single logger's queue uses one message at a time.
// Every other operation may be called from any thread at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Logging/LxLogFormatter.h"
#include "Platform/DateFormatter.h"

class DispatchQueueLogFormatter : public LxLogFormatter {
public:
    static constexpr const char dateFormatString[] = "yyyy-MM-dd HH:mm:ss:SSS";

    DispatchQueueLogFormatter();

    // 0: no padding. A name shorter than this, in characters, gets blanks up to it.
    uint64_t minQueueLength() const;
    void setMinQueueLength(uint64_t length);
    // 0: no cutting. A name longer than this, in characters, is cut to it (and then not padded).
    uint64_t maxQueueLength() const;
    void setMaxQueueLength(uint64_t length);

    // The name that stands for a queue label or thread name; std::nullopt when none is set.
    std::optional<std::string> replacementStringForQueueLabel(const std::string& label) const;
    // Sets the replacement of the label, or removes it with std::nullopt.
    void setReplacementString(std::optional<std::string> replacement, const std::string& label);

    // The date in the formatter's form, local time.
    std::string stringFromDate(std::chrono::system_clock::time_point date);
    // The queue or thread name of the message, replaced, cut or padded.
    std::string queueThreadLabelForLogMessage(const LxLogMessage& message) const;

    // Never drops a message.
    LxLogText formatLogMessage(const LxLogMessage& message) override;
    void didAddToLogger(LxLogger& logger) override;
    void willRemoveFromLogger(LxLogger& logger) override;

private:
    std::atomic<int32_t> atomicLoggerCount_{0};
    // Made on first use; used only while the formatter has at most one logger, and so by one
    // queue at a time.
    std::unique_ptr<platform::DateFormatter> threadUnsafeDateFormatter_;

    std::atomic<uint64_t> minQueueLength_{0};
    std::atomic<uint64_t> maxQueueLength_{0};

    mutable std::mutex lock_;
    std::map<std::string, std::string> replacements_;  // guarded by lock_
};
