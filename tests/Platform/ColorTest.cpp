#include "Platform/Color.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using platform::Color;

TEST(ColorTest, ComponentsStayBetweenZeroAndOne) {
    struct Case {
        double in;
        double out;
    };
    const Case cases[] = {
        {0.0, 0.0}, {0.25, 0.25}, {1.0, 1.0}, {-0.5, 0.0}, {1.5, 1.0},
        {std::numeric_limits<double>::infinity(), 1.0}, {-std::numeric_limits<double>::infinity(), 0.0},
        {std::nan(""), 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        double r = -1, g = -1, b = -1, a = -1;
        Color::calibrated(c.in, c.in, c.in, c.in).getRed(&r, &g, &b, &a);
        EXPECT_EQ(c.out, r);
        EXPECT_EQ(c.out, g);
        EXPECT_EQ(c.out, b);
        EXPECT_EQ(c.out, a);
    }
}

TEST(ColorTest, ReadsOnlyTheComponentsAskedFor) {
    const Color color = Color::calibrated(0.1, 0.2, 0.3);  // alpha 1 unless given
    double r = 0, b = 0, a = 0;
    color.getRed(&r, nullptr, &b, &a);
    EXPECT_EQ(0.1, r);
    EXPECT_EQ(0.3, b);
    EXPECT_EQ(1.0, a);
    EXPECT_EQ(color, Color::calibrated(0.1, 0.2, 0.3, 1.0));
    EXPECT_FALSE(color == Color::calibrated(0.1, 0.2, 0.31));
}

}  // namespace
