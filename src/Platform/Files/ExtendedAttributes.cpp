#include "Platform/Files/ExtendedAttributes.h"

#include <sys/xattr.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<bool> unsupportedForTesting{false};

std::string userNamespaced(std::string_view name) {
    std::string full = "user.";
    full += name;
    return full;
}

bool failAsUnsupported() {
    if (!unsupportedForTesting.load()) return false;
    errno = ENOTSUP;
    return true;
}

}  // namespace

long getExtendedAttributeSize(const std::string& path, std::string_view name) {
    if (failAsUnsupported()) return -1;
    return static_cast<long>(::getxattr(path.c_str(), userNamespaced(name).c_str(), nullptr, 0));
}

int setExtendedAttribute(const std::string& path, std::string_view name, std::string_view value) {
    if (failAsUnsupported()) return -1;
    return ::setxattr(path.c_str(), userNamespaced(name).c_str(), value.data(), value.size(), 0);
}

int removeExtendedAttribute(const std::string& path, std::string_view name) {
    if (failAsUnsupported()) return -1;
    return ::removexattr(path.c_str(), userNamespaced(name).c_str());
}

void setExtendedAttributesUnsupportedForTesting(bool unsupported) { unsupportedForTesting.store(unsupported); }

}  // namespace platform
