// How the JSON models read values out of decoded objects: one rule for every key, a value of
// another JSON type than the key's field counts as absent. Internal to the models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace scmodel {

// The text under the key of an object; nothing when `object` is no object, the key is
// missing or its value is not a text.
std::optional<std::string> textValue(const nlohmann::json& object, std::string_view key);

// The integer value of a number (a fraction is dropped, the range clamped to 64 bits) or of a
// text (leading blanks, an optional sign, then decimal digits up to the first other
// character; no digits give 0; out of range clamps). Nothing for any other type.
std::optional<int64_t> integerValue(const nlohmann::json& value);
std::optional<int64_t> integerValue(const nlohmann::json& object, std::string_view key);

// The text read as an unsigned number the way strtoull does with base 0 (0x hexadecimal,
// leading 0 octal, else decimal; no digits give 0; out of range gives the maximum).
uint64_t unsignedFromText(const std::string& text);

// How deep arrays and objects may nest in a body. The deepest body the API takes is an APDU
// request, an object holding an array of objects (three levels); 64 leaves every request
// valid with a wide margin, while a page that nests deeper sends no request this system knows.
inline constexpr size_t kMaxJsonDepth = 64;

// How many values (objects, arrays, texts, numbers, literals; keys not counted) a body may
// hold. The parsed body keeps every one of them as a node of some tens of bytes, however few
// bytes wrote it, so a body of many tiny values would cost tens of times its size; this count
// keeps a parse within about 8 MiB plus the body's own texts. The largest request the API
// takes is an APDU request, at two values per command: the bound leaves room for tens of
// thousands of commands in one request.
inline constexpr size_t kMaxJsonValues = 65536;

// The bytes parsed as JSON; nothing when they are not JSON, and nothing when they nest
// deeper than kMaxJsonDepth or hold more than kMaxJsonValues values, which the parse finds
// before building anything past the bound (never throws).
std::optional<nlohmann::json> parse(std::span<const uint8_t> bytes);
std::span<const uint8_t> bytesOf(std::string_view text);

// A list of descriptions the way an array describes itself: "(\n    a,\n    b\n)".
std::string arrayDescription(const std::vector<std::string>& items);
// A number the way a number object describes itself: 300 for 300.0, 45.5 for 45.5.
std::string numberDescription(double value);

}  // namespace scmodel
