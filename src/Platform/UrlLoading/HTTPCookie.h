// One HTTP cookie as the shared cookie storage keeps it.
//
// A cookie is host-only: it is sent to requests whose host equals its domain (ignoring
// letter case) and whose path lies under its path. Its text form is one line of the cookie
// file format libcurl reads and writes ("Netscape" format: domain, subdomains flag, path,
// secure flag, expiry in seconds since 1970, name, value, separated by tabs).
//
// A plain value type; no thread rules of its own.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class HTTPCookie {
public:
    using Clock = std::chrono::system_clock;

    // A cookie, or nothing when a field holds something that cannot travel in a "Cookie"
    // header or a cookie file line (control characters, a ";" or "=" in the name, an empty
    // name or domain).
    static std::optional<HTTPCookie> make(std::string name, std::string value, std::string domain, std::string path,
                                          Clock::time_point expiresAt, bool secure = false);

    // The cookie of one line of a cookie file; nothing for comments, blank and malformed lines.
    static std::optional<HTTPCookie> fromFileLine(std::string_view line);

    const std::string& name() const { return name_; }
    const std::string& value() const { return value_; }
    const std::string& domain() const { return domain_; }
    const std::string& path() const { return path_; }
    Clock::time_point expiresAt() const { return expiresAt_; }
    bool isSecure() const { return secure_; }

    bool isExpired(Clock::time_point now) const { return expiresAt_ <= now; }
    // Whether a request to this host and path (over https when `secure`) carries the cookie.
    bool matches(std::string_view host, std::string_view path, bool secure) const;
    // The line of the cookie file, without the line end.
    std::string fileLine() const;

    // Whether the text may stand in an HTTP header field: no control characters.
    static bool isHeaderSafe(std::string_view text);

private:
    HTTPCookie() = default;
    std::string name_, value_, domain_, path_;
    Clock::time_point expiresAt_{};
    bool secure_ = false;
};

}  // namespace platform
