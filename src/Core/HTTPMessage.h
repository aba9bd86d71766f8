// One HTTP/1.x message: a request that a connection fills line by line from its socket, or a
// response header that a connection builds and serialises before writing it.
//
// Requests are parsed incrementally by appendData: bytes may arrive in pieces of any size (the
// connection appends one header line at a time, each with its CRLF). The first line is the
// request line "METHOD SP target SP HTTP/x.y"; each following line a field "Name: value" (the
// value without the blanks before it; blanks after it are part of it); the empty line completes the header, and every byte after
// it is body, unchanged. Once the header is complete, url() is the request target resolved
// against "http://<Host field>" (a target in absolute form keeps its own host; with no Host field
// the URL stays relative and names no host).
//
// appendData answers false, for good, when the bytes cannot be a request:
// - a request line that is not method (a token), one space, target, one space, version
//   ("HTTP/" digits "." digits); a target that is not a well-formed URL reference;
// - a field line without a name (a token directly followed by ":"), a continuation line
//   (beginning with a blank), or a value with control characters other than tab;
// - a CR or LF that is not part of a CRLF line end;
// - a line longer than kMaxLineLength bytes (its CRLF included), or more than kMaxHeaderLines
//   lines before the empty line (above the connection's own limit, which it enforces first);
// - a second "Host" field, or a second "Content-Length" with another value, or a Host field
//   that is not a host with an optional port.
// Empty lines before the request line are skipped. A field given more than once is kept as one
// value, the non-empty values joined by ", ". Header memory is bounded by the two limits above; the body
// is bounded by the connection, which limits what it reads.
//
// Field names are matched without regard to case. Version strings are compared exactly, with
// HTTPVersion1_0 and HTTPVersion1_1.
//
// A message belongs to the connection's queue: it is not safe to use from two threads at once.
// It is shared (std::shared_ptr) between the connection and the response made for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Url/Url.h"

inline constexpr std::string_view HTTPVersion1_0 = "HTTP/1.0";
inline constexpr std::string_view HTTPVersion1_1 = "HTTP/1.1";

class HTTPMessage {
public:
    using Bytes = std::vector<uint8_t>;

    static constexpr size_t kMaxLineLength = 8190;
    static constexpr size_t kMaxHeaderLines = 128;

    // An empty request, ready to receive bytes.
    static std::shared_ptr<HTTPMessage> initEmptyRequest();
    // A request with that request line; its header counts as complete.
    static std::shared_ptr<HTTPMessage> initRequestWithMethod(std::string_view method, platform::Url url,
                                                              std::string_view version);
    // A response header. Without a description the reason phrase is the standard one for the
    // code (empty for a code without one).
    static std::shared_ptr<HTTPMessage> initResponseWithStatusCode(int64_t code,
                                                                   std::optional<std::string> description,
                                                                   std::string_view version);

    // Parses request bytes (see above). Always false on a response message.
    bool appendData(std::span<const uint8_t> bytes);
    bool appendData(std::string_view bytes);

    bool isRequest() const { return isRequest_; }
    bool isHeaderComplete() const { return headerComplete_; }

    // Request line pieces as sent; empty before the request line has been parsed.
    const std::string& version() const { return version_; }
    const std::string& method() const { return method_; }
    // The request URL: unresolved while the header is incomplete, resolved against the Host
    // field once it is; std::nullopt before the request line and for responses.
    const std::optional<platform::Url>& url() const { return url_; }

    // 0 for a request.
    int64_t statusCode() const { return statusCode_; }
    const std::string& reasonPhrase() const { return reason_; }

    // Every field by its name as first given.
    std::map<std::string, std::string> allHeaderFields() const;
    // The value of the named field (name matched ignoring case), std::nullopt when absent.
    std::optional<std::string> headerField(std::string_view name) const;
    // Sets the field, replacing an earlier value of the same name (ignoring case) in its place.
    // A name that is not a token is ignored; CR, LF and NUL in the value become blanks, so no
    // value can break the serialised header.
    void setHeaderField(std::string_view name, std::string_view value);

    // The serialised message: the status line (or request line), one "Name: value" line per
    // field in the order they were first set, an empty line, then the body.
    Bytes messageData() const;

    // The body bytes appended (or set) so far.
    const Bytes& body() const { return body_; }
    void setBody(Bytes body) { body_ = std::move(body); }

    // The standard reason phrase of a status code, "" for a code without one.
    static std::string reasonPhraseForStatusCode(int64_t code);

private:
    // Only the init functions above make messages (the key is theirs to make); the constructor
    // is public so that a message and its shared count are one allocation (make()).
    struct MakeKey {
        explicit MakeKey() = default;
    };

public:
    explicit HTTPMessage(MakeKey) {}

private:
    static constexpr size_t kUsualFieldCount = 8;
    // An empty message with room for the fields of a usual request or response.
    static std::shared_ptr<HTTPMessage> make();

    bool appendHeaderBytes(std::string_view bytes, size_t& consumed);
    bool processLine(std::string_view line);
    bool parseRequestLine(std::string_view line);
    bool parseField(std::string_view line);
    bool completeHeader();
    std::vector<std::pair<std::string, std::string>>::iterator findField(std::string_view name);
    std::vector<std::pair<std::string, std::string>>::const_iterator findField(std::string_view name) const;

    bool isRequest_ = true;
    bool headerComplete_ = false;
    bool failed_ = false;
    bool sawRequestLine_ = false;
    size_t lineCount_ = 0;
    std::string pending_;  // bytes of a line whose CRLF has not arrived yet

    std::string method_;
    std::string target_;
    std::optional<platform::Url> url_;
    std::string version_;
    int64_t statusCode_ = 0;
    std::string reason_;
    std::vector<std::pair<std::string, std::string>> fields_;
    Bytes body_;
};
