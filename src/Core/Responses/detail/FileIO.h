// File calls the file responses share. Internal to the file responses.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace core_detail {

// Moves the descriptor's position to the offset; false (errno set) when it cannot.
inline bool seekFile(int fd, uint64_t offset) {
    if (offset > static_cast<uint64_t>(LLONG_MAX)) {
        errno = EINVAL;
        return false;
    }
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

}  // namespace core_detail
