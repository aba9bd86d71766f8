#include "Platform/UrlLoading/HTTPCookie.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace platform {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool hasTabOrControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

}  // namespace

bool HTTPCookie::isHeaderSafe(std::string_view text) { return !hasTabOrControl(text); }

std::optional<HTTPCookie> HTTPCookie::make(std::string name, std::string value, std::string domain, std::string path,
                                           Clock::time_point expiresAt, bool secure) {
    if (name.empty() || domain.empty()) return std::nullopt;
    if (hasTabOrControl(name) || hasTabOrControl(value) || hasTabOrControl(domain) || hasTabOrControl(path)) return std::nullopt;
    if (name.find_first_of(";= ") != std::string::npos || domain.find_first_of(" ;/") != std::string::npos) return std::nullopt;
    if (path.empty() || path.front() != '/') path = "/";
    HTTPCookie c;
    c.name_ = std::move(name);
    c.value_ = std::move(value);
    c.domain_ = lower(std::move(domain));
    c.path_ = std::move(path);
    c.expiresAt_ = expiresAt;
    c.secure_ = secure;
    return c;
}

bool HTTPCookie::matches(std::string_view host, std::string_view path, bool secure) const {
    if (secure_ && !secure) return false;
    if (lower(std::string(host)) != domain_) return false;
    if (path.empty()) path = "/";
    if (path.substr(0, path_.size()) != path_) return false;
    // "/docs" covers "/docs" and "/docs/x", not "/docsx".
    return path.size() == path_.size() || path_.back() == '/' || path[path_.size()] == '/';
}

std::string HTTPCookie::fileLine() const {
    long long expiry = std::chrono::duration_cast<std::chrono::seconds>(expiresAt_.time_since_epoch()).count();
    return domain_ + "\tFALSE\t" + path_ + "\t" + (secure_ ? "TRUE" : "FALSE") + "\t" + std::to_string(expiry) + "\t" +
           name_ + "\t" + value_;
}

std::optional<HTTPCookie> HTTPCookie::fromFileLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    constexpr std::string_view httpOnly = "#HttpOnly_";
    if (line.substr(0, httpOnly.size()) == httpOnly) line.remove_prefix(httpOnly.size());
    if (line.empty() || line.front() == '#') return std::nullopt;
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (fields.size() != 7) return std::nullopt;
    long long expiry = 0;
    auto [p, ec] = std::from_chars(fields[4].data(), fields[4].data() + fields[4].size(), expiry);
    if (ec != std::errc() || p != fields[4].data() + fields[4].size()) return std::nullopt;
    std::string domain(fields[0]);
    if (!domain.empty() && domain.front() == '.') domain.erase(0, 1);
    return make(std::string(fields[5]), std::string(fields[6]), domain, std::string(fields[2]),
                Clock::time_point(std::chrono::seconds(expiry)), fields[3] == "TRUE");
}

}  // namespace platform
