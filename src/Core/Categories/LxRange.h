// Byte ranges of the HTTP layer: a location and a length, both unsigned 64-bit; the end is
// location + length (callers keep ranges within a body, so the end never wraps).
//
// Plain values and pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct LxRange {
    uint64_t location = 0;
    uint64_t length = 0;

    friend bool operator==(const LxRange&, const LxRange&) = default;
};

// The order of two ranges: by location, then by length.
enum class LxComparisonResult : int { Ascending = -1, Same = 0, Descending = 1 };

// The smallest range that covers both.
LxRange LxUnionRange(LxRange a, LxRange b);

// The bytes both ranges hold; {0, 0} when they are apart. Ranges that only touch (a's end is
// b's location) give length 0, so a non-zero length means that they overlap.
LxRange LxIntersectionRange(LxRange a, LxRange b);

// "{location, length}", for example "{10, 20}".
std::string LxStringFromRange(LxRange range);

// The first run of the characters "+0123456789" in the text is the location, the second the
// length (each read as an unsigned decimal number); every other character is skipped, and a
// missing run leaves 0.
LxRange LxRangeFromString(std::string_view string);

LxComparisonResult LxRangeCompare(const LxRange* a, const LxRange* b);
