// File primitives of the keychain stand-in: whole-file reads, atomic whole-file writes with a
// given mode, private directories and an exclusive lock between processes.
//
// A write goes to a temporary file beside the target, is flushed to disk and then renamed over
// the target, so a reader sees the old contents or the new, never a mix, and a crash leaves the
// old file in place. Callable from any thread; nothing here logs but lockForChange.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class StoreFile {
public:
    // What one fstat says of an open file: which file it is (device and inode), its size and
    // its modification and change times to the nanosecond. Any write, truncation, rename,
    // change of mode or of times gives the file a change time of that moment, and a file
    // written elsewhere and renamed over the path is another inode.
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modifiedNs = 0;
        std::int64_t changedNs = 0;
        bool operator==(const Stamp&) const = default;
    };

    enum class ReadStatus { Ok, Missing, Failed };
    struct ReadResult {
        ReadStatus status = ReadStatus::Failed;
        std::string contents;
        std::string error;  // the reason, when Failed
        // When Failed: whether the reason may pass by itself (see passingError), so that the
        // file says nothing about what it holds and a later read may well succeed.
        bool passing = false;
        Stamp stamp;         // when Ok
        bool read = false;   // when Ok: whether contents were read (see the read with a test)
    };

    // Whether a read or write that failed with this errno value may succeed when tried again
    // without anything changing on disk: too many open files (here or in the system), an I/O error,
    // no memory or buffers, a lock or a resource that is busy, an interrupted or timed-out
    // call, a stale network file handle. Other failures (permissions, a folder in place of a
    // file) stay until someone changes the store.
    static bool passingError(int err);

    static ReadResult read(const std::string& path);
    // Opens the file and takes its stamp, then reads the contents only when readContents says
    // so for that stamp; otherwise the result is Ok with no contents and read false. The file
    // is opened either way, so that one that cannot be opened fails as a full read would.
    static ReadResult read(const std::string& path, const std::function<bool(const Stamp&)>& readContents);

    // Replaces the file at path with contents, created with mode (umask does not apply).
    // Returns an empty optional on success, else the reason; then passing (when given) tells
    // whether that reason may pass by itself (passingError), as the temporary file that cannot
    // be made while the process is out of descriptors.
    static std::optional<std::string> writeAtomically(const std::string& path, std::string_view contents, mode_t mode,
                                                      bool* passing = nullptr);

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
        // When not held: whether the reason may pass by itself (passingError).
        bool passing() const { return passing_; }

    private:
        int fd_ = -1;
        std::string error_;
        bool passing_ = false;
    };

    // The set-up of every change to a store: makes each directory private, in order, then
    // takes the lock file lockName in the last of them. Null when the store cannot be written;
    // the reason is logged as "Keychain store <directory> cannot be written: <reason>", and
    // passing (when given) tells whether it may pass by itself.
    static std::unique_ptr<Lock> lockForChange(const std::vector<std::string>& directories, const std::string& lockName,
                                               bool* passing = nullptr);
};

}  // namespace platform
