// A GET request for the document download: an absolute http or https URL, parsed.
//
// A plain value type; no thread rules of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class URLRequest {
public:
    // The request, or nothing when the text is not an absolute URL with the scheme http or
    // https and a host. Nothing too while the URL loading library cannot be loaded (see
    // URLSession::loadingError()): the text cannot be parsed then.
    static std::optional<URLRequest> make(std::string_view urlText);

    const std::string& url() const { return url_; }        // the normalised URL text
    const std::string& scheme() const { return scheme_; }  // "http" or "https"
    const std::string& host() const { return host_; }      // lower case, without brackets or port
    const std::string& path() const { return path_; }      // "/" when the URL has none
    bool isSecure() const { return scheme_ == "https"; }

private:
    URLRequest() = default;
    std::string url_, scheme_, host_, path_;
};

}  // namespace platform
