// File operations: private atomic writes, whole-file reads, existence checks and removal (the
// document store); directory listings, directories made with their parents, empty files and
// moves (the file logger).
//
// Every call is synchronous, callable from any thread and never throws; failures are
// reported as an Error in the POSIX domain. None of them follows a symbolic link in the last
// path component, but for the two directory calls: a link to a directory is listed, and
// taken as made, as that directory (a logs directory may be a link elsewhere).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Error.h"

namespace platform {

class FileManager {
public:
    // Writes the bytes to a new file beside `path` (same directory, a unique temporary name,
    // mode 0600), flushes it and renames it onto `path`, so that readers see either the old
    // file or the whole new one. On failure the temporary file is removed and `path` is left
    // as it was. Nothing when it succeeded, else the error.
    static std::optional<Error> writeAtomically(const std::string& path, const std::vector<uint8_t>& bytes);

    // The whole content of the regular file at `path`, or nothing when it cannot be read.
    static std::optional<std::vector<uint8_t>> contentsAtPath(const std::string& path);

    // Whether something (a file, a directory, a dangling link) exists at `path`.
    static bool fileExistsAtPath(const std::string& path);

    // Removes the file at `path`. Nothing when it was removed, else the error.
    static std::optional<Error> removeItemAtPath(const std::string& path);

    // The names in the directory at `path` (without "." and ".."), in the order the file
    // system lists them, or nothing when it cannot be read.
    static std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path);

    // Makes the directory at `path` and any missing parent, each with mode 0700 (less the
    // umask). Nothing when the directory exists afterwards, else the error.
    static std::optional<Error> createDirectoryAtPath(const std::string& path);

    // Makes an empty file at `path` (mode 0644 less the umask); an existing item is left as
    // it is and reported as EEXIST. Nothing when it was made, else the error.
    static std::optional<Error> createEmptyFileAtPath(const std::string& path);

    // Moves the item at `from` to `to`, never replacing an item already at `to` (EEXIST).
    // Nothing when it was moved, else the error.
    static std::optional<Error> moveItemAtPath(const std::string& from, const std::string& to);
};

}  // namespace platform
