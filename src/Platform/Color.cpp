#include "Platform/Color.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

double unitInterval(double component) { return std::isnan(component) ? 0.0 : std::clamp(component, 0.0, 1.0); }

}  // namespace

Color Color::calibrated(double red, double green, double blue, double alpha) {
    return Color(unitInterval(red), unitInterval(green), unitInterval(blue), unitInterval(alpha));
}

void Color::getRed(double* red, double* green, double* blue, double* alpha) const {
    if (red) *red = red_;
    if (green) *green = green_;
    if (blue) *blue = blue_;
    if (alpha) *alpha = alpha_;
}

}  // namespace platform
