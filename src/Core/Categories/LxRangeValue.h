// A range boxed as a value object, the form in which the connection keeps the byte ranges of a
// request in an array and sorts them (lxrangeCompare orders by location, then by length).
//
// A plain value; callable from any thread.
#pragma once

#include "Core/Categories/LxRange.h"

class LxRangeValue {
public:
    static LxRangeValue valueWithLxRange(LxRange range);

    LxRange lxrangeValue() const { return range_; }
    LxComparisonResult lxrangeCompare(const LxRangeValue& other) const;

    friend bool operator==(const LxRangeValue&, const LxRangeValue&) = default;

private:
    explicit LxRangeValue(LxRange range) : range_(range) {}

    LxRange range_;
};
