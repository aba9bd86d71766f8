#include "Platform/Files/FileAttributes.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace platform {

namespace {

FileAttributes::Date dateOf(const struct statx_timestamp& t) {
    using namespace std::chrono;
    return FileAttributes::Date(duration_cast<system_clock::duration>(seconds(t.tv_sec) + nanoseconds(t.tv_nsec)));
}

}  // namespace

std::optional<FileAttributes> fileAttributesAtPath(const std::string& path) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return std::nullopt;
    FileAttributes attributes;
    attributes.size = st.stx_size;
    attributes.modificationDate = dateOf(st.stx_mtime);
    // Some file systems answer a birth time of zero for items they never stamped.
    const bool hasBirthTime = (st.stx_mask & STATX_BTIME) != 0 && (st.stx_btime.tv_sec != 0 || st.stx_btime.tv_nsec != 0);
    attributes.creationDate = hasBirthTime ? dateOf(st.stx_btime) : attributes.modificationDate;
    attributes.isDirectory = S_ISDIR(st.stx_mode);
    return attributes;
}

}  // namespace platform
