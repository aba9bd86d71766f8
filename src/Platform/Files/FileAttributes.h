// What the file system tells about one item: its size and its creation and modification dates.
//
// The creation date is the birth time (statx) where the file system keeps one, else the
// modification time, so that it is always there and never later than the file's content.
// Callable from any thread; never throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct FileAttributes {
    using Date = std::chrono::system_clock::time_point;

    uint64_t size = 0;
    Date creationDate;
    Date modificationDate;
    bool isDirectory = false;
};

// The attributes of the item at path (a symbolic link is followed), or nothing when it cannot
// be examined.
std::optional<FileAttributes> fileAttributesAtPath(const std::string& path);

}  // namespace platform
