// Tools of the file logger's tests: log files made in a scratch directory with distinct
// creation dates, and whole-file reads.
#pragma once

#include <sys/xattr.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

namespace logging_test {

// The whole content of the file ("" when it cannot be read).
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether the file carries the archived mark, asked of the file system directly.
inline bool carriesArchivedMark(const std::string& path) {
    return ::getxattr(path.c_str(), "user.log.archived", nullptr, 0) >= 0;
}

// Makes the file with the content, archived or not. File systems stamp birth times with a
// coarse clock (a few milliseconds), so each file waits long enough to be born after the
// one made before it.
inline void makeLogFile(const std::string& path, const std::string& content, bool archived) {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    std::ofstream(path, std::ios::binary) << content;
    if (archived) ::setxattr(path.c_str(), "user.log.archived", "", 0, 0);
}

}  // namespace logging_test
