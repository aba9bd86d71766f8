// The "Authorization" field of a request, taken apart for basic and digest authentication.
//
// Basic: the field begins with "Basic " (any case); the credentials are the rest, trimmed.
// Digest: the field begins with "Digest " (any case); each parameter is looked up by a plain
// search for its name followed by "=" - quoted for username, realm, nonce, uri, cnonce and
// response, unquoted for nc, and for qop either way. A name may match the end of a longer
// parameter name ("nonce" inside "cnonce") when that one comes first; clients send "nonce"
// first. A parameter that is not there is nullopt; a field that is not there leaves every
// value nullopt and both flags false. Nothing here checks the values: the connection does
// (HTTPConnection::isAuthenticated).
//
// A plain value, made and read on the connection's queue.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class HTTPMessage;

class HTTPAuthenticationRequest {
public:
    // initWithRequest: the request's "Authorization" field.
    explicit HTTPAuthenticationRequest(const HTTPMessage& request);
    // The same from the field's value (nullopt: the request has no such field).
    explicit HTTPAuthenticationRequest(const std::optional<std::string>& authorization);

    bool isBasic() const { return isBasic_; }
    bool isDigest() const { return isDigest_; }
    const std::optional<std::string>& base64Credentials() const { return base64Credentials_; }
    const std::optional<std::string>& username() const { return username_; }
    const std::optional<std::string>& realm() const { return realm_; }
    const std::optional<std::string>& nonce() const { return nonce_; }
    const std::optional<std::string>& uri() const { return uri_; }
    const std::optional<std::string>& qop() const { return qop_; }
    const std::optional<std::string>& nc() const { return nc_; }
    const std::optional<std::string>& cnonce() const { return cnonce_; }
    const std::optional<std::string>& response() const { return response_; }

    // The text between the double quotes after the first `name="`; nullopt when there is no
    // such start or no closing quote.
    static std::optional<std::string> quotedSubHeaderFieldValue(std::string_view name, std::string_view header);
    // The text after the first `name=` up to the next ","; with no "," after it, the rest of
    // the field, unless a blank follows somewhere (then nullopt: the value's end is unclear).
    static std::optional<std::string> nonquotedSubHeaderFieldValue(std::string_view name, std::string_view header);

private:
    bool isBasic_ = false;
    bool isDigest_ = false;
    std::optional<std::string> base64Credentials_;
    std::optional<std::string> username_;
    std::optional<std::string> realm_;
    std::optional<std::string> nonce_;
    std::optional<std::string> uri_;
    std::optional<std::string> qop_;
    std::optional<std::string> nc_;
    std::optional<std::string> cnonce_;
    std::optional<std::string> response_;
};
