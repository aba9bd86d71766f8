#include "Platform/Format.h"

#include <cstdio>
#include <vector>

namespace platform {

long long FormatArg::asSigned() const {
    switch (kind_) {
    case Kind::Signed: return signed_;
    case Kind::Unsigned: return static_cast<long long>(unsigned_);
    case Kind::Double: return static_cast<long long>(double_);
    case Kind::Pointer: return static_cast<long long>(reinterpret_cast<std::uintptr_t>(pointer_));
    default: return 0;
    }
}

unsigned long long FormatArg::asUnsigned() const {
    switch (kind_) {
    case Kind::Unsigned: return unsigned_;
    case Kind::Signed: return static_cast<unsigned long long>(signed_);
    case Kind::Double: return static_cast<unsigned long long>(double_);
    case Kind::Pointer: return reinterpret_cast<std::uintptr_t>(pointer_);
    default: return 0;
    }
}

namespace {

// Runs snprintf for one conversion with a value of the matching C type.
template <class T>
void appendPrintf(std::string& out, const std::string& spec, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, spec.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::snprintf(big.data(), big.size(), spec.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
}

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string formatString(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    const FormatArg* next = args.begin();
    const FormatArg* end = args.end();
    static const FormatArg kMissing(std::nullopt);
    auto take = [&]() -> const FormatArg& { return next != end ? *next++ : kMissing; };

    size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out.push_back(c);
            ++i;
            continue;
        }
        size_t start = i++;
        if (i >= format.size()) {  // a lone '%' at the end is printed as it stands
            out.push_back('%');
            break;
        }
        if (format[i] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        // flags, width, precision ('*' is not used by the system and is printed literally)
        while (i < format.size() && isFlag(format[i])) ++i;
        while (i < format.size() && isDigit(format[i])) ++i;
        if (i < format.size() && format[i] == '.') {
            ++i;
            while (i < format.size() && isDigit(format[i])) ++i;
        }
        std::string flagsWidth(format.substr(start, i - start));  // "%-08.3"
        // length modifiers are re-derived from the argument, so they are only skipped here
        while (i < format.size() && (format[i] == 'h' || format[i] == 'l' || format[i] == 'z' ||
                                     format[i] == 'j' || format[i] == 't' || format[i] == 'q' || format[i] == 'L'))
            ++i;
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        char conv = format[i++];
        switch (conv) {
        case '@':
        case 's': {
            const FormatArg& a = take();
            std::string text = a.kind() == FormatArg::Kind::Text ? a.text() : "(null)";
            appendPrintf(out, flagsWidth + "s", text.c_str());
            break;
        }
        case 'c': {
            const FormatArg& a = take();
            appendPrintf(out, flagsWidth + "c", static_cast<int>(a.asSigned()));
            break;
        }
        case 'd':
        case 'i': {
            const FormatArg& a = take();
            if (a.kind() == FormatArg::Kind::Null || a.kind() == FormatArg::Kind::Text)
                appendPrintf(out, flagsWidth + "s", "(null)");
            else
                appendPrintf(out, flagsWidth + "lld", a.asSigned());
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            const FormatArg& a = take();
            if (a.kind() == FormatArg::Kind::Null || a.kind() == FormatArg::Kind::Text)
                appendPrintf(out, flagsWidth + "s", "(null)");
            else
                appendPrintf(out, flagsWidth + "ll" + conv, a.asUnsigned());
            break;
        }
        case 'p': {
            const FormatArg& a = take();
            appendPrintf(out, flagsWidth + "p", a.kind() == FormatArg::Kind::Pointer ? a.pointer()
                                                     : reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a.asUnsigned())));
            break;
        }
        case 'f':
        case 'e':
        case 'g':
        case 'F':
        case 'E':
        case 'G': {
            const FormatArg& a = take();
            appendPrintf(out, flagsWidth + conv, a.asDouble());
            break;
        }
        default:
            // An unknown conversion is printed as written and takes no argument.
            out.append(format.substr(start, i - start));
            break;
        }
    }
    return out;
}

}  // namespace platform
