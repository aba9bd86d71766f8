// printf-style formatting for the system's log texts, with "%@" for an object's description.
//
// Supported conversions: %@ (a text), %s, %c, %d %i %u %x %X %o with the length modifiers
// hh h l ll z j t, %p, %f %e %g, %%; flags, width and precision as in printf. An argument of
// the wrong kind, or a missing one, is printed as "(null)" rather than read from nowhere.
// Never throws.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

// One argument of a format call. Objects are passed as their description text; an
// absent (nil) object as std::nullopt, printed as "(null)".
class FormatArg {
public:
    enum class Kind { Text, Signed, Unsigned, Double, Pointer, Null };

    FormatArg(const std::string& s) : kind_(Kind::Text), text_(s) {}
    FormatArg(std::string_view s) : kind_(Kind::Text), text_(s) {}
    FormatArg(const char* s) : kind_(s ? Kind::Text : Kind::Null), text_(s ? s : "") {}
    FormatArg(const std::optional<std::string>& s) : kind_(s ? Kind::Text : Kind::Null), text_(s ? *s : "") {}
    FormatArg(std::nullopt_t) : kind_(Kind::Null) {}
    FormatArg(std::nullptr_t) : kind_(Kind::Pointer), pointer_(nullptr) {}
    FormatArg(const void* p) : kind_(Kind::Pointer), pointer_(p) {}
    FormatArg(bool b) : kind_(Kind::Signed), signed_(b ? 1 : 0) {}
    FormatArg(char c) : kind_(Kind::Signed), signed_(c) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>, int> = 0>
    FormatArg(T v) : kind_(Kind::Signed), signed_(v) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>, int> = 0>
    FormatArg(T v) : kind_(Kind::Unsigned), unsigned_(v) {}
    template <class T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
    FormatArg(T v) : FormatArg(static_cast<std::underlying_type_t<T>>(v)) {}
    FormatArg(double d) : kind_(Kind::Double), double_(d) {}

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    long long asSigned() const;
    unsigned long long asUnsigned() const;
    double asDouble() const { return kind_ == Kind::Double ? double_ : static_cast<double>(asSigned()); }
    const void* pointer() const { return pointer_; }

private:
    Kind kind_;
    std::string text_;
    long long signed_ = 0;
    unsigned long long unsigned_ = 0;
    double double_ = 0;
    const void* pointer_ = nullptr;
};

std::string formatString(std::string_view format, std::initializer_list<FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
    return formatString(fmt, {FormatArg(args)...});
}

}  // namespace platform
