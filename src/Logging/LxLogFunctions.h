// The small string helpers of the logging code: the file name that call sites put at the
// head of their texts, and the heap copy of a C string that a log record keeps.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The name of the source file without directory and extension: "/src/Core/HTTPServer.cpp"
// gives "HTTPServer", "main.cpp" gives "main", "/b/README" gives "README", "/b/.m" gives "".
// A dot that stands in a directory name and not in the file name ("/a.b/README") leaves the
// name whole ("README"). nullptr gives std::nullopt.
//
// The result points into the path without copying it: the path must outlive it (call sites
// pass __FILE__, which lives for the whole program). Never reads past the path's 0.
constexpr std::optional<std::string_view> LxExtractFileNameWithoutExtension(const char* path) {
    if (path == nullptr) return std::nullopt;
    constexpr size_t none = static_cast<size_t>(-1);
    size_t length = 0;
    size_t lastDot = none;
    size_t lastSlash = none;
    for (; path[length] != '\0'; ++length) {
        if (path[length] == '.') lastDot = length;
        else if (path[length] == '/') lastSlash = length;
    }
    size_t begin = lastSlash == none ? 0 : lastSlash + 1;
    size_t end = (lastDot == none || lastDot < begin) ? length : lastDot;
    return std::string_view(path + begin, end - begin);
}

// A heap copy of the C string (its length plus the terminating 0), or nullptr for nullptr.
// The caller frees it with std::free.
char* lx_str_copy(const char* text);
