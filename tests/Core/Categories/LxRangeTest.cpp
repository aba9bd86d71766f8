#include "Core/Categories/LxRange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Core/Categories/LxRangeValue.h"

namespace {

TEST(LxRangeTest, IntersectionAndUnion) {
    const struct {
        LxRange a, b, intersection, unionRange;
    } cases[] = {
        {{0, 5}, {5, 5}, {5, 0}, {0, 10}},    // touching: no overlap
        {{0, 6}, {5, 5}, {5, 1}, {0, 10}},
        {{5, 5}, {0, 6}, {5, 1}, {0, 10}},
        {{0, 3}, {5, 5}, {0, 0}, {0, 10}},    // apart
        {{2, 10}, {4, 2}, {4, 2}, {2, 10}},   // one inside the other
        {{7, 0}, {7, 0}, {7, 0}, {7, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(LxStringFromRange(c.a) + " " + LxStringFromRange(c.b));
        EXPECT_EQ(LxIntersectionRange(c.a, c.b), c.intersection);
        EXPECT_EQ(LxUnionRange(c.a, c.b), c.unionRange);
    }
}

TEST(LxRangeTest, StringForms) {
    EXPECT_EQ(LxStringFromRange({10, 20}), "{10, 20}");
    EXPECT_EQ(LxStringFromRange({0, 18446744073709551615u}), "{0, 18446744073709551615}");
    const struct {
        const char* text;
        LxRange range;
    } cases[] = {
        {"{10, 20}", {10, 20}},
        {"10-20", {10, 20}},
        {"x7", {7, 0}},
        {"", {0, 0}},
        {"{+3, 4} 99", {3, 4}},
        {"+", {0, 0}},
        {"1+2 3", {1, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(LxRangeFromString(c.text), c.range);
    }
}

TEST(LxRangeTest, CompareOrdersByLocationThenLength) {
    const struct {
        LxRange a, b;
        LxComparisonResult result;
    } cases[] = {
        {{3, 1}, {3, 2}, LxComparisonResult::Ascending},
        {{2, 9}, {3, 1}, LxComparisonResult::Ascending},
        {{3, 2}, {3, 1}, LxComparisonResult::Descending},
        {{4, 0}, {3, 9}, LxComparisonResult::Descending},
        {{3, 1}, {3, 1}, LxComparisonResult::Same},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(LxStringFromRange(c.a) + " " + LxStringFromRange(c.b));
        EXPECT_EQ(LxRangeCompare(&c.a, &c.b), c.result);
        EXPECT_EQ(LxRangeValue::valueWithLxRange(c.a).lxrangeCompare(LxRangeValue::valueWithLxRange(c.b)), c.result);
    }
}

TEST(LxRangeTest, BoxedRangesSortAscending) {
    std::vector<LxRangeValue> values;
    for (LxRange r : {LxRange{6, 2}, LxRange{0, 2}, LxRange{3, 2}, LxRange{3, 1}}) {
        values.push_back(LxRangeValue::valueWithLxRange(r));
    }
    std::sort(values.begin(), values.end(), [](const LxRangeValue& a, const LxRangeValue& b) {
        return a.lxrangeCompare(b) == LxComparisonResult::Ascending;
    });
    std::vector<LxRange> sorted;
    for (const auto& v : values) sorted.push_back(v.lxrangeValue());
    EXPECT_EQ(sorted, (std::vector<LxRange>{{0, 2}, {3, 1}, {3, 2}, {6, 2}}));
}

}  // namespace
