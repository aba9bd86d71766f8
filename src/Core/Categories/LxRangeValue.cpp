#include "Core/Categories/LxRangeValue.h"

LxRangeValue LxRangeValue::valueWithLxRange(LxRange range) { return LxRangeValue(range); }

LxComparisonResult LxRangeValue::lxrangeCompare(const LxRangeValue& other) const {
    return LxRangeCompare(&range_, &other.range_);
}
