#include "Core/Categories/LxNumber.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// The conversion needs a terminated text; a copy also stops it at an embedded NUL, as the
// C text of the string would.
template <class T, class Convert>
bool convert(std::optional<std::string_view> string, T* out, Convert function) {
    if (!string) {
        *out = 0;
        return false;
    }
    const std::string text(*string);
    char* end = nullptr;
    errno = 0;
    const auto value = function(text.c_str(), &end, 10);
    const int error = errno;
    *out = static_cast<T>(value);
    // The C library here does not report "no digits" through errno; the end pointer tells it.
    return error == 0 && end != text.c_str();
}

}  // namespace

bool LxNumber::parseStringIntoSInt64(std::optional<std::string_view> string, int64_t* out) {
    return convert(string, out, std::strtoll);
}

bool LxNumber::parseStringIntoUInt64(std::optional<std::string_view> string, uint64_t* out) {
    return convert(string, out, std::strtoull);
}

bool LxNumber::parseStringIntoNSInteger(std::optional<std::string_view> string, int64_t* out) {
    return convert(string, out, std::strtoll);
}

bool LxNumber::parseStringIntoNSUInteger(std::optional<std::string_view> string, uint64_t* out) {
    return convert(string, out, std::strtoull);
}
