#include "Platform/PlainLog.h"

#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "Platform/ThreadInfo.h"

namespace platform {

namespace {

// Never destroyed: platform threads (the card service's monitor, URL loaders) may still log
// while the process runs its exit-time destructors.
std::mutex& captureMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::function<void(const std::string&)>& capture() {
    static auto* c = new std::function<void(const std::string&)>;
    return *c;
}
std::atomic<bool> outputEnabled{true};

}  // namespace

void plainLogText(std::string_view text) {
    {
        std::lock_guard<std::mutex> lock(captureMutex());
        if (capture()) capture()(std::string(text));
    }
    if (!outputEnabled.load(std::memory_order_relaxed)) return;

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm local;
    localtime_r(&tv.tv_sec, &local);
    char prefix[128];
    int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s[%d:%llu] ",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec, static_cast<int>(tv.tv_usec / 1000), processName().c_str(),
                          static_cast<int>(getpid()), static_cast<unsigned long long>(currentThreadId()));
    std::string line;
    line.reserve(static_cast<size_t>(n > 0 ? n : 0) + text.size() + 1);
    if (n > 0) line.append(prefix, static_cast<size_t>(n < static_cast<int>(sizeof prefix) ? n : sizeof prefix - 1));
    line.append(text);
    line.push_back('\n');
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    std::string message(text);
    ::syslog(LOG_NOTICE, "%s", message.c_str());
}

void setPlainLogCapture(std::function<void(const std::string&)> c) {
    std::lock_guard<std::mutex> lock(captureMutex());
    capture() = std::move(c);
}

void setPlainLogOutputEnabled(bool enabled) { outputEnabled.store(enabled, std::memory_order_relaxed); }

}  // namespace platform
