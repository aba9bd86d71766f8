#include "Platform/Keychain/StoreFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "Platform/PlainLog.h"

namespace platform {

namespace {

std::string reason(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void syncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool StoreFile::passingError(int err) {
    switch (err) {
        case EMFILE:
        case ENFILE:
        case EIO:
        case ENOMEM:
        case ENOBUFS:
        case EAGAIN:
        case EINTR:
        case ENOLCK:
        case EDEADLK:
        case EBUSY:
        case ETIMEDOUT:
        case ESTALE:
            return true;
        default:
            return false;
    }
}

StoreFile::ReadResult StoreFile::read(const std::string& path) {
    return read(path, [](const Stamp&) { return true; });
}

StoreFile::ReadResult StoreFile::read(const std::string& path, const std::function<bool(const Stamp&)>& readContents) {
    ReadResult result;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            result.status = ReadStatus::Missing;
        } else {
            result.passing = passingError(errno);
            result.error = reason("cannot open", path, errno);
        }
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.passing = passingError(errno);
        result.error = reason("cannot read", path, errno);
        ::close(fd);
        return result;
    }
    result.stamp = Stamp{st.st_dev, st.st_ino, st.st_size,
                         static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                         static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
    if (!readContents(result.stamp)) {
        ::close(fd);
        result.status = ReadStatus::Ok;
        return result;
    }
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            result.passing = passingError(errno);
            result.error = reason("cannot read", path, errno);
            ::close(fd);
            return result;
        }
        if (n == 0) break;
        result.contents.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    result.status = ReadStatus::Ok;
    result.read = true;
    return result;
}

std::optional<std::string> StoreFile::writeAtomically(const std::string& path, std::string_view contents, mode_t mode,
                                                      bool* passing) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    if (passing) *passing = false;
    auto failed = [&](const std::string& what, const std::string& where, int err) {
        if (passing) *passing = passingError(err);
        return reason(what, where, err);
    };
    std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(random());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return failed("cannot create", temp, errno);
    auto fail = [&](const char* what) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return failed(what, temp, err);
    };
    if (::fchmod(fd, mode) != 0) return fail("cannot set the mode of");
    const char* p = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("cannot write");
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) return fail("cannot flush");
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return failed("cannot close", temp, err);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return failed("cannot replace", path, err);
    }
    syncDirectory(parentOf(path));
    return std::nullopt;
}

std::optional<std::string> StoreFile::makeDirectories(const std::string& path) {
    if (path.empty()) return std::string("empty directory path");
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return std::nullopt;
        return path + " is not a directory";
    }
    std::string parent = parentOf(path);
    if (parent != path) {
        if (auto err = makeDirectories(parent)) return err;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return reason("cannot create", path, errno);
    return std::nullopt;
}

std::optional<std::string> StoreFile::makePrivateDirectory(const std::string& path) {
    if (auto err = makeDirectories(path)) return err;
    if (::chmod(path.c_str(), 0700) != 0) return reason("cannot set the mode of", path, errno);
    return std::nullopt;
}

StoreFile::Lock::Lock(const std::string& lockPath) {
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        passing_ = passingError(errno);
        error_ = reason("cannot open", lockPath, errno);
        return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        passing_ = passingError(errno);
        error_ = reason("cannot lock", lockPath, errno);
        ::close(fd_);
        fd_ = -1;
        return;
    }
}

StoreFile::Lock::~Lock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

std::unique_ptr<StoreFile::Lock> StoreFile::lockForChange(const std::vector<std::string>& directories,
                                                          const std::string& lockName, bool* passing) {
    if (passing) *passing = false;
    if (directories.empty()) return nullptr;
    for (const auto& d : directories) {
        if (auto err = makePrivateDirectory(d)) {
            plainLog("Keychain store %@ cannot be written: %@", d, *err);
            return nullptr;
        }
    }
    auto lock = std::make_unique<Lock>(directories.back() + "/" + lockName);
    if (!lock->held()) {
        plainLog("Keychain store %@ cannot be written: %@", directories.back(), lock->error());
        if (passing) *passing = lock->passing();
        return nullptr;
    }
    return lock;
}

}  // namespace platform
