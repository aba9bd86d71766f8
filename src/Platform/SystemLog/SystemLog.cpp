#include "Platform/SystemLog/SystemLog.h"

#include <syslog.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

// Never destroyed: a logger's queue may still write while the process exits.
std::mutex& captureMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::function<void(int, const std::string&)>& capture() {
    static auto* c = new std::function<void(int, const std::string&)>;
    return *c;
}
std::atomic<bool> outputEnabled{true};

int facilityFor(std::string_view name) {
    struct Known {
        const char* name;
        int facility;
    };
    static constexpr Known known[] = {
        {"user", LOG_USER},     {"daemon", LOG_DAEMON}, {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},
        {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},
        {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
    };
    for (const Known& k : known)
        if (name == k.name) return k.facility;
    return LOG_USER;
}

}  // namespace

std::unique_ptr<SystemLogClient> SystemLogClient::open(const char* identity, const char* facility, uint32_t) {
    std::string facilityName = facility ? facility : "user";
    int bits = facilityFor(facilityName);
    return std::unique_ptr<SystemLogClient>(new SystemLogClient(identity ? identity : "", std::move(facilityName), bits));
}

SystemLogClient::SystemLogClient(std::string identity, std::string facilityName, int facility)
    : identity_(std::move(identity)), facilityName_(std::move(facilityName)), facility_(facility) {}

void SystemLogClient::log(int priority, std::string_view text) {
    if (priority < LOG_EMERG || priority > LOG_DEBUG) priority = LOG_NOTICE;
    std::string entry(text);
    {
        std::lock_guard<std::mutex> lock(captureMutex());
        if (capture()) capture()(priority, entry);
    }
    if (!outputEnabled.load(std::memory_order_relaxed)) return;
    // syslog's identity is process-wide and shared with the plain log call, so a client with
    // an identity of its own does not change it; the program's name is what both show.
    ::syslog(facility_ | priority, "%s", entry.c_str());
}

void setSystemLogCapture(std::function<void(int, const std::string&)> c) {
    std::lock_guard<std::mutex> lock(captureMutex());
    capture() = std::move(c);
}

void setSystemLogOutputEnabled(bool enabled) { outputEnabled.store(enabled, std::memory_order_relaxed); }

}  // namespace platform
