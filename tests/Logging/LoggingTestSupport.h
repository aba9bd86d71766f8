// Test doubles of the logging tests: a logger that records what it gets, a gate that holds a
// logger until a test opens it, and a capture of file descriptor 2.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LxAbstractLogger.h"

namespace logging_test {

// Opens once; every wait() before returns when it opens (or when the timeout passes).
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return open_; });
    }
    bool isOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;  // guarded by mutex_
};

// Records every message; onMessage (set before the logger is added) runs first, on the
// logger's queue.
class RecordingLogger : public LxAbstractLogger {
public:
    explicit RecordingLogger(std::string name = "test.recordingLogger", std::function<void(const LxLogMessage&)> onMessage = {})
        : LxAbstractLogger(std::move(name)), onMessage_(std::move(onMessage)) {}

    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override {
        if (onMessage_) onMessage_(*message);
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(message);
    }
    void flush() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++flushes_;
    }

    std::vector<std::shared_ptr<const LxLogMessage>> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> result;
        for (const auto& m : messages_) result.push_back(*m->logMsg);
        return result;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }
    int flushes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return flushes_;
    }

private:
    const std::function<void(const LxLogMessage&)> onMessage_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<const LxLogMessage>> messages_;  // guarded by mutex_
    int flushes_ = 0;                                            // guarded by mutex_
};

// While alive, file descriptor 2 is the write end of a pipe that a thread drains; finish()
// puts the old descriptor back and returns everything written meanwhile.
class StderrCapture {
public:
    StderrCapture() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        readEnd_ = fds[0];
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[1]);
        reader_ = std::thread([this] {
            char buffer[65536];
            for (;;) {
                ssize_t n = ::read(readEnd_, buffer, sizeof buffer);
                if (n <= 0) break;
                data_.append(buffer, static_cast<size_t>(n));
            }
        });
    }
    ~StderrCapture() { finish(); }

    std::string finish() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);  // closes the last write end: the reader sees the end
            ::close(saved_);
            saved_ = -1;
            reader_.join();
            ::close(readEnd_);
        }
        return data_;
    }

private:
    int readEnd_ = -1;
    int saved_ = -1;
    std::thread reader_;
    std::string data_;  // written by reader_ until it is joined
};

}  // namespace logging_test
