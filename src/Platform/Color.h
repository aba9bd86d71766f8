// A colour as the loggers take it: calibrated red, green, blue and alpha, each between 0 and 1.
//
// A plain value; copy it freely between threads.
#pragma once

namespace platform {

class Color {
public:
    // Components outside 0..1 are clamped to it and NaN reads as 0, so that whoever turns a
    // component into a byte (times 255) always gets 0 to 255.
    static Color calibrated(double red, double green, double blue, double alpha = 1.0);

    // Fills the components asked for; nullptr leaves one out.
    void getRed(double* red, double* green, double* blue, double* alpha = nullptr) const;

    friend bool operator==(const Color&, const Color&) = default;

private:
    Color(double red, double green, double blue, double alpha)
        : red_(red), green_(green), blue_(blue), alpha_(alpha) {}

    double red_;
    double green_;
    double blue_;
    double alpha_;
};

}  // namespace platform
