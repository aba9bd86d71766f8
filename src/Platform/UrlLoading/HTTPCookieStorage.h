// The user's persistent cookie store, shared by every URL session of the process.
//
// The cookies live in one file in libcurl's cookie file format, in the program's data
// directory ($XDG_DATA_HOME/pellix, else ~/.local/share/pellix; the directory is made with
// mode 0700, the file is written atomically with mode 0600). The file is read on first use;
// every change rewrites it. Expired cookies are neither sent nor written back.
//
// Thread-safe: every call may come from any thread (the connection queue stores, the
// loader threads read); the cookie list is guarded by one mutex. Never throws.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/UrlLoading/HTTPCookie.h"

namespace platform {

class HTTPCookieStorage {
public:
    // A store kept in the given file.
    explicit HTTPCookieStorage(std::string filePath);

    // The process's shared store in the user's data directory, made on first use.
    static std::shared_ptr<HTTPCookieStorage> shared();
    // Test seam: replaces the shared store (nullptr goes back to the user's own).
    static void setShared(std::shared_ptr<HTTPCookieStorage> storage);
    // The file of the user's own store, or nothing when no home directory is known.
    static std::optional<std::string> defaultFilePath();

    // Stores the cookie, replacing one of the same name, domain and path, and saves the file.
    // Returns false when the file could not be written (the cookie is kept in memory).
    bool setCookie(const HTTPCookie& cookie);

    // The cookies that a request to this host and path carries, unexpired, in storage order.
    std::vector<HTTPCookie> cookiesFor(std::string_view host, std::string_view path, bool secure);

    // The value of a "Cookie" header for such a request ("a=1; b=2"), or nothing when no
    // cookie applies.
    std::optional<std::string> cookieHeaderFor(std::string_view host, std::string_view path, bool secure);

    const std::string& filePath() const { return filePath_; }

private:
    void loadLocked();
    bool saveLocked();

    const std::string filePath_;
    std::mutex mutex_;
    bool loaded_ = false;               // guarded by mutex_
    std::vector<HTTPCookie> cookies_;   // guarded by mutex_
};

}  // namespace platform
