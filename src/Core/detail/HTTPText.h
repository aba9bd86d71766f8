// Small text helpers of the HTTP server code: header values compared and trimmed the way the
// protocol reads them, and UUID texts for nonces and boundaries. Internal to Core/.
//
// Stateless; callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace core_detail {

// ASCII letters compared without regard to case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix);
// Whether the word stands anywhere in the text, without regard to case ("" always does).
bool containsIgnoringCase(std::string_view text, std::string_view word);
// The text without leading and trailing blanks, tabs, CRs and LFs.
std::string_view trimmed(std::string_view text);
// A new random (version 4) UUID in its 36-character text form, upper-case hexadecimal.
std::string newUuidString();

}  // namespace core_detail
