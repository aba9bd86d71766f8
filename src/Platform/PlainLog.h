// The platform's own plain log call: the diagnostics that do not go through the logging hub
// (the version line at start-up, the card layer, the API responders, the JSON models, the
// utilities and the certificate code).
//
// Each call writes one line to standard error,
//     "YYYY-MM-DD HH:MM:SS.mmm pellix[pid:tid] text\n"
// in one write, and the same text to the system log (syslog, LOG_NOTICE). Callable from any
// thread; never throws, never blocks on anything but the write itself.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Platform/Format.h"

namespace platform {

void plainLogText(std::string_view text);

template <class... Args>
void plainLog(std::string_view fmt, const Args&... args) {
    plainLogText(formatString(fmt, {FormatArg(args)...}));
}

// Test seam: while a capture is installed every text (without the line prefix) is also
// handed to it, on the logging thread. Installing replaces any earlier capture; an empty
// function removes it.
void setPlainLogCapture(std::function<void(const std::string&)> capture);

// Test seam: when false, lines go only to the capture (and not to stderr or syslog).
void setPlainLogOutputEnabled(bool enabled);

}  // namespace platform
