// The program's embedded information: what the executable says about itself.
#pragma once

#include <string>

namespace platform {

class BundleInfo {
public:
    // The short version text, "1.4.0" (the project version in CMake, one place).
    static std::string version();
    // Whether URL loading may fetch plain-HTTP URLs; it may.
    static bool allowsArbitraryLoads() { return true; }
};

}  // namespace platform
