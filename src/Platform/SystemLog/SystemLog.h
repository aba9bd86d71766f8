// The system log: one entry per call, with a priority and a text, through syslog(3).
//
// A client is opened once with an identity, a facility name and options, and is then used
// from one queue at a time (the system-log logger uses its own from its queue only). Each
// entry carries the text alone; syslog adds its own time, host and process.
//
// Priorities are the system log's levels, the same numbers as syslog's: 0 emergency,
// 1 alert, 2 critical, 3 error, 4 warning, 5 notice, 6 informational, 7 debug. A value out
// of that range is written as notice.
//
// Facility names other than the known syslog ones ("user", "daemon", "local0" to "local7")
// - the console facility "com.apple.console" among them - map to the user facility.
//
// Never throws; failures of the system log are not detected.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class SystemLogClient {
public:
    // Opens a client. identity nullptr: the program's name; facility nullptr: "user".
    static std::unique_ptr<SystemLogClient> open(const char* identity, const char* facility, uint32_t options);

    SystemLogClient(const SystemLogClient&) = delete;
    SystemLogClient& operator=(const SystemLogClient&) = delete;

    // Writes one entry. The text is written as it stands: '%' characters are not
    // conversions, and the text is never used as a format.
    void log(int priority, std::string_view text);

    const std::string& facilityName() const { return facilityName_; }

private:
    SystemLogClient(std::string identity, std::string facilityName, int facility);

    std::string identity_;      // "" for the program's own name
    std::string facilityName_;
    int facility_;              // the syslog facility bits
};

// Test seam: while a capture is installed every entry (priority and text) is also handed to
// it, on the thread that logs. Installing replaces any earlier capture; an empty function
// removes it.
void setSystemLogCapture(std::function<void(int priority, const std::string& text)> capture);

// Test seam: when false, entries go only to the capture and not to syslog.
void setSystemLogOutputEnabled(bool enabled);

}  // namespace platform
