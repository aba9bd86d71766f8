// A URL as the HTTP layer and the web API read it: an absolute URL ("http://host:port/path?query")
// or a relative reference (a request target such as "/scard/list?x=1"), optionally resolved
// against a base.
//
// - relativeString() is the text exactly as it was given (for a request URL: the target as
//   written in the request line); absoluteString() is the resolved form.
// - host() is the host as written, without the brackets of an IPv6 literal ("[::1]" gives
//   "::1"); std::nullopt when the URL has no authority. port() is the port when one is written.
// - path() is the resolved path, still percent-encoded; pathComponents() splits it as the
//   platform does: "/" first for a path that begins with "/", then one component per
//   non-empty segment, each percent-decoded. A trailing "/" adds nothing.
// - query() is the text after "?" (not decoded), std::nullopt when there is no "?".
//
// Parsing never throws: text that is not a well-formed URL gives std::nullopt. Accepted are the
// printable ASCII characters other than space, and bytes of 0x80 and above (kept as they are);
// every "%" must be followed by two hexadecimal digits; a host is a registered name of
// unreserved, escaped and sub-delimiter characters, an IPv4 address, or a bracketed IPv6
// address; a port is at most 65535.
//
// A Url is a plain value: copy it freely, use it from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Url {
public:
    // An absolute URL: a scheme is required.
    static std::optional<Url> parse(std::string_view text);

    // An absolute URL or a relative reference, unresolved.
    static std::optional<Url> parseReference(std::string_view text);

    // The reference resolved against base (RFC 3986 section 5.2, dot segments removed). The
    // result keeps the reference's own text as its relativeString(). base must be absolute.
    static std::optional<Url> resolve(std::string_view reference, const Url& base);

    // The URL of an HTTP request: the request target resolved against "http://<host>", where
    // host is the request's "Host" field. A target in absolute form keeps its own host. Without
    // a host (absent or empty field) the URL stays relative and has no host. std::nullopt when
    // the target is malformed or the host field is not a host with an optional port.
    static std::optional<Url> fromRequestTarget(std::string_view target,
                                                std::optional<std::string_view> hostField);

    const std::string& relativeString() const { return text_; }
    std::string absoluteString() const;
    // The resolved URL as a URL of its own (its relativeString is the absolute string).
    Url absoluteUrl() const;

    bool isAbsolute() const { return scheme_.has_value(); }
    const std::optional<std::string>& scheme() const { return scheme_; }
    const std::optional<std::string>& host() const { return host_; }
    std::optional<uint16_t> port() const { return port_; }
    const std::string& path() const { return path_; }
    std::vector<std::string> pathComponents() const;
    // The last of pathComponents(), or "" when there is none.
    std::string lastPathComponent() const;
    const std::optional<std::string>& query() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }

    // Percent-decodes every "%XX" escape; std::nullopt when an escape is not two hex digits.
    static std::optional<std::string> percentDecode(std::string_view text);

    friend bool operator==(const Url&, const Url&) = default;

private:
    Url() = default;

    std::string text_;                      // as given
    std::optional<std::string> scheme_;     // lower-cased
    std::optional<std::string> authority_;  // as written: [userinfo@]host[:port]
    std::optional<std::string> host_;
    std::optional<uint16_t> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

}  // namespace platform
