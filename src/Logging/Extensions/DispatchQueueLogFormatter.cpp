#include "Logging/Extensions/DispatchQueueLogFormatter.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "Platform/Dispatch/DispatchQueue.h"

namespace {

// Labels of the global queues: a message logged there is named by its thread, as a global
// queue runs on any thread.
constexpr std::array<std::string_view, 6> kGlobalQueueLabels = {
    "com.apple.root.low-priority",           "com.apple.root.default-priority",
    "com.apple.root.high-priority",          "com.apple.root.low-overcommit-priority",
    "com.apple.root.default-overcommit-priority", "com.apple.root.high-overcommit-priority",
};

bool isGlobalQueueLabel(std::string_view label) {
    for (std::string_view global : kGlobalQueueLabels)
        if (label == global) return true;
    return false;
}

// Characters, not bytes, of UTF-8 text: a cut never splits a character.
size_t characterCount(std::string_view text) {
    size_t count = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    return count;
}

// The byte length of the first `characters` characters.
size_t prefixBytes(std::string_view text, size_t characters) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == characters) return i;
            ++seen;
        }
    }
    return text.size();
}

}  // namespace

DispatchQueueLogFormatter::DispatchQueueLogFormatter() {
    replacements_.emplace(platform::DispatchQueue::mainQueueLabel(), "main");
}

uint64_t DispatchQueueLogFormatter::minQueueLength() const { return minQueueLength_.load(std::memory_order_relaxed); }

void DispatchQueueLogFormatter::setMinQueueLength(uint64_t length) {
    minQueueLength_.store(length, std::memory_order_relaxed);
}

uint64_t DispatchQueueLogFormatter::maxQueueLength() const { return maxQueueLength_.load(std::memory_order_relaxed); }

void DispatchQueueLogFormatter::setMaxQueueLength(uint64_t length) {
    maxQueueLength_.store(length, std::memory_order_relaxed);
}

std::optional<std::string> DispatchQueueLogFormatter::replacementStringForQueueLabel(const std::string& label) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = replacements_.find(label);
    if (it == replacements_.end()) return std::nullopt;
    return it->second;
}

void DispatchQueueLogFormatter::setReplacementString(std::optional<std::string> replacement,
                                                     const std::string& label) {
    std::lock_guard<std::mutex> guard(lock_);
    if (replacement)
        replacements_[label] = std::move(*replacement);
    else
        replacements_.erase(label);
}

std::string DispatchQueueLogFormatter::stringFromDate(std::chrono::system_clock::time_point date) {
    if (atomicLoggerCount_.load() > 1) {
        // Shared by every formatter of this kind on the thread: they all print the same form.
        thread_local platform::DateFormatter perThread(dateFormatString);
        return perThread.stringFromDate(date);
    }
    if (!threadUnsafeDateFormatter_) threadUnsafeDateFormatter_ = std::make_unique<platform::DateFormatter>(dateFormatString);
    return threadUnsafeDateFormatter_->stringFromDate(date);
}

std::string DispatchQueueLogFormatter::queueThreadLabelForLogMessage(const LxLogMessage& message) const {
    // The record's label is "" when the caller ran on no queue.
    const std::string_view queueLabel = message.queueLabel ? message.queueLabel : "";
    std::string label;
    if (!queueLabel.empty() && !isGlobalQueueLabel(queueLabel)) {
        label = queueLabel;
    } else if (!message.threadName.empty()) {
        label = message.threadName;
    }
    if (!label.empty()) {
        if (auto replacement = replacementStringForQueueLabel(label)) label = std::move(*replacement);
    } else {
        char id[9];
        const int n = std::snprintf(id, sizeof id, "%x", message.machThreadID);
        label.assign(id, n > 0 ? static_cast<size_t>(n) : 0);
    }

    const uint64_t maxLength = maxQueueLength();
    const uint64_t minLength = minQueueLength();
    const size_t length = characterCount(label);
    if (maxLength != 0 && length > maxLength) {
        label.resize(prefixBytes(label, static_cast<size_t>(maxLength)));
    } else if (minLength > length) {
        label.append(static_cast<size_t>(minLength - length), ' ');
    }
    return label;
}

LxLogText DispatchQueueLogFormatter::formatLogMessage(const LxLogMessage& message) {
    return std::make_shared<const std::string>(stringFromDate(message.timestamp) + " [" +
                                               queueThreadLabelForLogMessage(message) + "] " + *message.logMsg);
}

void DispatchQueueLogFormatter::didAddToLogger(LxLogger&) { atomicLoggerCount_.fetch_add(1); }

void DispatchQueueLogFormatter::willRemoveFromLogger(LxLogger&) { atomicLoggerCount_.fetch_sub(1); }
