// Decimal number parsing for the HTTP layer ("Content-Length", byte ranges), with the C
// library's conversions and their error report.
//
// Every form works alike: an absent text (std::nullopt) stores 0 and answers false. Otherwise the
// text is converted by the C library's base-10 conversion of the form's type: leading white
// space is skipped, one "+" or "-" is accepted, digits are read up to the first non-digit and
// the rest is ignored. The converted value is stored in every case; the answer is true exactly
// when the conversion reported no error - it fails when no digit could be converted ("", "abc")
// and when the value does not fit the type (the stored value is then the type's limit).
// So "12ab" gives 12 and true, and the unsigned forms read "-1" as 2^64 - 1 and true.
//
// Stateless; callable from any thread. out must not be null.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

class LxNumber {
public:
    static bool parseStringIntoSInt64(std::optional<std::string_view> string, int64_t* out);
    static bool parseStringIntoUInt64(std::optional<std::string_view> string, uint64_t* out);
    static bool parseStringIntoNSInteger(std::optional<std::string_view> string, int64_t* out);
    static bool parseStringIntoNSUInteger(std::optional<std::string_view> string, uint64_t* out);
};
