#include "Platform/UrlLoading/HTTPCookieStorage.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "Platform/Files/FileManager.h"

namespace platform {

namespace {

std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<HTTPCookieStorage>& sharedSlot() {
    static std::shared_ptr<HTTPCookieStorage> s;
    return s;
}

// Makes every missing directory of the file's parent, each private to the user.
bool makeParentDirectories(const std::string& filePath) {
    size_t slash = filePath.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string dir = filePath.substr(0, slash);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

HTTPCookieStorage::HTTPCookieStorage(std::string filePath) : filePath_(std::move(filePath)) {}

std::optional<std::string> HTTPCookieStorage::defaultFilePath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return std::string(data) + "/pellix/Cookies.txt";
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return std::string(home) + "/.local/share/pellix/Cookies.txt";
    return std::nullopt;
}

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::shared() {
    std::lock_guard<std::mutex> lock(sharedMutex());
    if (!sharedSlot()) {
        // Without a home directory the store still works, for the life of the process.
        sharedSlot() = std::make_shared<HTTPCookieStorage>(defaultFilePath().value_or(""));
    }
    return sharedSlot();
}

void HTTPCookieStorage::setShared(std::shared_ptr<HTTPCookieStorage> storage) {
    std::lock_guard<std::mutex> lock(sharedMutex());
    sharedSlot() = std::move(storage);
}

void HTTPCookieStorage::loadLocked() {
    if (loaded_) return;
    loaded_ = true;
    if (filePath_.empty()) return;
    auto bytes = FileManager::contentsAtPath(filePath_);
    if (!bytes) return;
    std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    auto now = HTTPCookie::Clock::now();
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        auto cookie = HTTPCookie::fromFileLine(line);
        if (cookie && !cookie->isExpired(now)) cookies_.push_back(std::move(*cookie));
    }
}

bool HTTPCookieStorage::saveLocked() {
    if (filePath_.empty()) return false;
    if (!makeParentDirectories(filePath_)) return false;
    auto now = HTTPCookie::Clock::now();
    std::string text = "# Netscape HTTP Cookie File\n# Written by pellix; the cookies of document downloads.\n\n";
    for (const auto& c : cookies_) {
        if (!c.isExpired(now)) text += c.fileLine() + "\n";
    }
    return !FileManager::writeAtomically(filePath_, std::vector<uint8_t>(text.begin(), text.end()));
}

bool HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    std::lock_guard<std::mutex> lock(mutex_);
    loadLocked();
    auto now = HTTPCookie::Clock::now();
    std::erase_if(cookies_, [&](const HTTPCookie& c) {
        return c.isExpired(now) || (c.name() == cookie.name() && c.domain() == cookie.domain() && c.path() == cookie.path());
    });
    cookies_.push_back(cookie);
    return saveLocked();
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesFor(std::string_view host, std::string_view path, bool secure) {
    std::lock_guard<std::mutex> lock(mutex_);
    loadLocked();
    auto now = HTTPCookie::Clock::now();
    std::vector<HTTPCookie> out;
    for (const auto& c : cookies_) {
        if (!c.isExpired(now) && c.matches(host, path, secure)) out.push_back(c);
    }
    return out;
}

std::optional<std::string> HTTPCookieStorage::cookieHeaderFor(std::string_view host, std::string_view path, bool secure) {
    auto cookies = cookiesFor(host, path, secure);
    if (cookies.empty()) return std::nullopt;
    std::string header;
    for (const auto& c : cookies) {
        if (!header.empty()) header += "; ";
        header += c.name() + "=" + c.value();
    }
    return header;
}

}  // namespace platform
