// File primitives of the keychain stand-in: whole-file reads, atomic whole-file writes with a
// given mode, private directories and an exclusive lock between processes.
//
// A write goes to a temporary file beside the target, is flushed to disk and then renamed over
// the target, so a reader sees the old contents or the new, never a mix, and a crash leaves the
// old file in place. Callable from any thread; nothing here logs but lockForChange.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class StoreFile {
public:
    enum class ReadStatus { Ok, Missing, Failed };
    struct ReadResult {
        ReadStatus status = ReadStatus::Failed;
        std::string contents;
        std::string error;  // the reason, when Failed
        // When Failed: whether the reason may pass by itself (see passingError), so that the
        // file says nothing about what it holds and a later read may well succeed.
        bool passing = false;
    };

    // Whether a read that failed with this errno value may succeed when tried again without
    // anything changing on disk: too many open files (here or in the system), an I/O error,
    // no memory or buffers, a lock or a resource that is busy, an interrupted or timed-out
    // call, a stale network file handle. Other failures (permissions, a folder in place of a
    // file) stay until someone changes the store.
    static bool passingError(int err);

    static ReadResult read(const std::string& path);

    // Replaces the file at path with contents, created with mode (umask does not apply).
    // Returns an empty optional on success, else the reason.
    static std::optional<std::string> writeAtomically(const std::string& path, std::string_view contents, mode_t mode);

    // Creates path and any missing parents (mode 0700) and gives path itself mode 0700 even when
    // it already existed. Returns the reason on failure.
    static std::optional<std::string> makePrivateDirectory(const std::string& path);
    // Creates path and missing parents, all with mode 0700, without changing existing ones.
    static std::optional<std::string> makeDirectories(const std::string& path);

    // An exclusive advisory lock on a lock file, held until the object goes away.
    class Lock {
    public:
        explicit Lock(const std::string& lockPath);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        bool held() const { return fd_ >= 0; }
        const std::string& error() const { return error_; }

    private:
        int fd_ = -1;
        std::string error_;
    };

    // The set-up of every change to a store: makes each directory private, in order, then
    // takes the lock file lockName in the last of them. Null when the store cannot be written;
    // the reason is logged as "Keychain store <directory> cannot be written: <reason>".
    static std::unique_ptr<Lock> lockForChange(const std::vector<std::string>& directories, const std::string& lockName);
};

}  // namespace platform
