#include "Core/Categories/LxRange.h"

#include <algorithm>

#include "Core/Categories/LxNumber.h"

LxRange LxUnionRange(LxRange a, LxRange b) {
    const uint64_t location = std::min(a.location, b.location);
    const uint64_t end = std::max(a.location + a.length, b.location + b.length);
    return {location, end - location};
}

LxRange LxIntersectionRange(LxRange a, LxRange b) {
    const uint64_t aEnd = a.location + a.length;
    const uint64_t bEnd = b.location + b.length;
    if (aEnd < b.location || bEnd < a.location) return {0, 0};
    const uint64_t location = std::max(a.location, b.location);
    return {location, std::min(aEnd, bEnd) - location};
}

std::string LxStringFromRange(LxRange range) {
    return "{" + std::to_string(range.location) + ", " + std::to_string(range.length) + "}";
}

LxRange LxRangeFromString(std::string_view string) {
    constexpr std::string_view kNumberCharacters = "+0123456789";
    uint64_t values[2] = {0, 0};
    size_t position = 0;
    for (auto& value : values) {
        const auto start = string.find_first_of(kNumberCharacters, position);
        if (start == std::string_view::npos) break;
        auto end = string.find_first_not_of(kNumberCharacters, start);
        if (end == std::string_view::npos) end = string.size();
        LxNumber::parseStringIntoUInt64(string.substr(start, end - start), &value);
        position = end;
    }
    return {values[0], values[1]};
}

LxComparisonResult LxRangeCompare(const LxRange* a, const LxRange* b) {
    if (a->location != b->location) {
        return a->location < b->location ? LxComparisonResult::Ascending : LxComparisonResult::Descending;
    }
    if (a->length != b->length) {
        return a->length < b->length ? LxComparisonResult::Ascending : LxComparisonResult::Descending;
    }
    return LxComparisonResult::Same;
}
