// Collects the plain log lines while a test runs (and keeps them off standard error): the one
// capture every test uses. Lines arrive on the logging thread; every member may be called
// from any thread. One capture at a time: a new one replaces the one before, and the end of
// any of them removes the capture and turns the output back on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/PlainLog.h"

namespace testtools {

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
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    // How many lines begin with prefix.
    std::size_t count(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(std::count_if(
            lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace testtools
