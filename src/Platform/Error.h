// The error value of every asynchronous completion and delegate call: a domain, a code and
// the readable texts. Failures are values, never exceptions.
#pragma once

#include <string>

namespace platform {

struct Error {
    std::string domain;          // e.g. "AsyncSocketErrorDomain", kPosixDomain
    long code = 0;
    std::string description;     // the localized description
    std::string failureReason;   // empty when there is none

    // "Error Domain=<domain> Code=<code> \"<description>\"" and, when present,
    // " UserInfo={NSLocalizedFailureReason=<reason>}" - the text a "%@" of an error shows.
    std::string describe() const;

    friend bool operator==(const Error&, const Error&) = default;
};

inline constexpr const char* kPosixDomain = "NSPOSIXErrorDomain";

// The POSIX form: the errno value, strerror's text and the given reason.
Error posixError(int errnoValue, std::string reason);

}  // namespace platform
