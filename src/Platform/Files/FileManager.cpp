#include "Platform/Files/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace platform {

namespace {

bool writeAll(int fd, const uint8_t* p, size_t left) {
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

std::optional<Error> FileManager::writeAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string temp = path + ".XXXXXX";
    // mkstemp makes the file with mode 0600 and O_EXCL, so nobody can slip a link in its place.
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return posixError(errno, "The temporary file could not be created.");
    auto fail = [&](const char* reason) {
        int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return posixError(saved, reason);
    };
    if (::fchmod(fd, 0600) != 0) return fail("The file mode could not be set.");
    if (!writeAll(fd, bytes.data(), bytes.size())) return fail("The file could not be written.");
    if (::fsync(fd) != 0) return fail("The file could not be flushed.");
    if (::close(fd) != 0) {
        int saved = errno;
        ::unlink(temp.c_str());
        return posixError(saved, "The file could not be closed.");
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(temp.c_str());
        return posixError(saved, "The file could not be moved into place.");
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> FileManager::contentsAtPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(st.st_size));
    uint8_t buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (r == 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    ::close(fd);
    return out;
}

bool FileManager::fileExistsAtPath(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::optional<Error> FileManager::removeItemAtPath(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return posixError(errno, "The file could not be removed.");
    return std::nullopt;
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectoryAtPath(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

std::optional<Error> FileManager::createDirectoryAtPath(const std::string& path) {
    if (path.empty()) return posixError(ENOENT, "The directory could not be created.");
    // Each parent in turn, from the top; one that exists already (made by someone else
    // meanwhile, too) is fine as long as it is a directory.
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string part = path.substr(0, end);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return posixError(errno, "The directory could not be created.");
        }
        if (end == std::string::npos) break;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return posixError(errno, "The directory could not be created.");
    if (!S_ISDIR(st.st_mode)) return posixError(ENOTDIR, "The directory could not be created.");
    return std::nullopt;
}

std::optional<Error> FileManager::createEmptyFileAtPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return posixError(errno, "The file could not be created.");
    ::close(fd);
    return std::nullopt;
}

std::optional<Error> FileManager::moveItemAtPath(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        return posixError(errno, "The item could not be moved.");
    }
    return std::nullopt;
}

}  // namespace platform
