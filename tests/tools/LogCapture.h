// Collects the plain log lines while a test runs (and keeps them off standard error).
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/PlainLog.h"

namespace testcard {

class LogCapture {
public:
    LogCapture() {
        platform::setPlainLogOutputEnabled(false);
        platform::setPlainLogCapture([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() {
        platform::setPlainLogCapture({});
        platform::setPlainLogOutputEnabled(true);
    }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace testcard
