#include "Platform/Error.h"

#include <cstring>

namespace platform {

std::string Error::describe() const {
    std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + description + "\"";
    if (!failureReason.empty()) text += " UserInfo={NSLocalizedFailureReason=" + failureReason + "}";
    return text;
}

Error posixError(int errnoValue, std::string reason) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    return Error{kPosixDomain, errnoValue, text, std::move(reason)};
}

}  // namespace platform
