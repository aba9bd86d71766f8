#include "Platform/Files/TemporaryDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

std::string withoutTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// The per-user directory must be ours alone: a directory, no link, owned by us, mode 0700.
bool ensurePrivateDirectory(const std::string& dir, uid_t uid) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
    if (ok && (st.st_mode & 07777) != 0700) ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::optional<std::string> TemporaryDirectory::resolve(const std::optional<std::string>& tmpdirEnv,
                                                       const std::string& fallbackParent, uid_t uid) {
    if (tmpdirEnv && !tmpdirEnv->empty()) return withoutTrailingSlashes(*tmpdirEnv);
    std::string dir = withoutTrailingSlashes(fallbackParent) + "/pellix-" + std::to_string(uid);
    if (!ensurePrivateDirectory(dir, uid)) return std::nullopt;
    return dir;
}

std::optional<std::string> TemporaryDirectory::path() {
    const char* env = std::getenv("TMPDIR");
    return resolve(env ? std::optional<std::string>(env) : std::nullopt, "/tmp", ::getuid());
}

std::string TemporaryDirectory::join(std::string_view directory, std::string_view component) {
    std::string out(directory);
    if (out.empty() || out.back() != '/') out.push_back('/');
    out.append(component);
    return out;
}

}  // namespace platform
