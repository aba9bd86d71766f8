#include "Platform/UrlLoading/URLRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "Platform/UrlLoading/detail/CurlLibrary.h"

namespace platform {

namespace {

struct UrlDeleter {
    const detail::CurlLibrary* curl;
    void operator()(CURLU* u) const { curl->url_cleanup(u); }
};

std::optional<std::string> part(const detail::CurlLibrary& curl, CURLU* u, CURLUPart which) {
    char* text = nullptr;
    if (curl.url_get(u, which, &text, 0) != CURLUE_OK || !text) return std::nullopt;
    std::string out(text);
    curl.free(text);
    return out;
}

}  // namespace

std::optional<URLRequest> URLRequest::make(std::string_view urlText) {
    // curl's parser stops at nothing: a NUL, a line end or a blank inside the text would let a
    // page smuggle a second request line, so such a text is no URL.
    if (urlText.empty() || std::any_of(urlText.begin(), urlText.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; }))
        return std::nullopt;
    const auto& curl = detail::CurlLibrary::shared();
    if (curl.error) return std::nullopt;
    std::unique_ptr<CURLU, UrlDeleter> u(curl.url(), UrlDeleter{&curl});
    if (!u) return std::nullopt;
    std::string text(urlText);
    if (curl.url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
    auto scheme = part(curl, u.get(), CURLUPART_SCHEME);
    auto host = part(curl, u.get(), CURLUPART_HOST);
    auto full = part(curl, u.get(), CURLUPART_URL);
    if (!scheme || !host || !full || host->empty()) return std::nullopt;
    std::transform(scheme->begin(), scheme->end(), scheme->begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (*scheme != "http" && *scheme != "https") return std::nullopt;
    std::transform(host->begin(), host->end(), host->begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (host->size() > 2 && host->front() == '[' && host->back() == ']') 
        host = std::string(host->begin() + 1, host->end() - 1);
    URLRequest r;
    r.url_ = std::move(*full);
    r.scheme_ = std::move(*scheme);
    r.host_ = std::move(*host);
    auto path = part(curl, u.get(), CURLUPART_PATH);
    if (path && !path->empty()) r.path_ = std::move(*path);
    else r.path_.assign(1, '/');
    return r;
}

}  // namespace platform
