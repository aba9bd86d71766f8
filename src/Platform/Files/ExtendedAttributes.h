// Extended attributes on a path: small named marks a file carries beside its content, kept
// by the file system across restarts.
//
// Names are given without a namespace ("log.archived") and kept in the user namespace
// ("user.log.archived"), the one Linux file systems let an ordinary process write. Each call
// follows a symbolic link in the path, as the plain POSIX calls do.
//
// The calls mirror POSIX: a result of 0 or more is success, -1 a failure with the reason in
// errno. A missing attribute is ENODATA (kNoAttributeError). Some file systems (older tmpfs
// mounts, some network file systems) keep no extended attributes at all: every call then fails
// with ENOTSUP. Callable from any thread; never throws.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>

namespace platform {

// The errno of a lookup or removal of an attribute the item does not carry.
inline constexpr int kNoAttributeError = ENODATA;

// The size of the attribute's value, or -1 (errno: kNoAttributeError when the item lacks it).
long getExtendedAttributeSize(const std::string& path, std::string_view name);
// Sets the attribute to the value (empty for a bare mark). 0, or -1 with errno.
int setExtendedAttribute(const std::string& path, std::string_view name, std::string_view value);
// Removes the attribute. 0, or -1 with errno (kNoAttributeError when the item lacks it).
int removeExtendedAttribute(const std::string& path, std::string_view name);

// Test seam: while set, every call fails with ENOTSUP, as on a file system that keeps no
// extended attributes.
void setExtendedAttributesUnsupportedForTesting(bool unsupported);

}  // namespace platform
