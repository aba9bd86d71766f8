#include "Core/HTTPMessage.h"

#include <array>
#include <cstring>
#include <string_view>

namespace {

// Every method and field name goes through this, character by character: a table made once
// at compile time answers each with one load.
constexpr std::array<bool, 256> kTokenChars = [] {
    std::array<bool, 256> table{};
    for (int c = 'a'; c <= 'z'; ++c) table[static_cast<size_t>(c)] = true;
    for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<size_t>(c)] = true;
    for (int c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = true;
    for (char c : std::string_view("!#$%&'*+-.^_`|~")) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

bool isTokenChar(char c) { return kTokenChars[static_cast<unsigned char>(c)]; }

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!isTokenChar(c)) return false;
    }
    return true;
}

bool isDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "HTTP/" digits "." digits, as sent; whether the server speaks it is the connection's question.
bool isVersion(std::string_view text) {
    if (!text.starts_with("HTTP/")) return false;
    const auto numbers = text.substr(5);
    const auto dot = numbers.find('.');
    return dot != std::string_view::npos && isDigits(numbers.substr(0, dot)) && isDigits(numbers.substr(dot + 1));
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Only the blanks after the colon go: trailing ones are part of the value, so that an
// "Origin" with a blank after it is not taken for the origin without it.
std::string_view trimLeadingBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view trimTrailingBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::shared_ptr<HTTPMessage> HTTPMessage::make() {
    auto message = std::make_shared<HTTPMessage>(MakeKey{});
    message->fields_.reserve(kUsualFieldCount);
    return message;
}

std::shared_ptr<HTTPMessage> HTTPMessage::initEmptyRequest() { return make(); }

std::shared_ptr<HTTPMessage> HTTPMessage::initRequestWithMethod(std::string_view method, platform::Url url,
                                                                std::string_view version) {
    auto message = initEmptyRequest();
    message->method_ = std::string(method);
    message->target_ = url.relativeString();
    message->url_ = std::move(url);
    message->version_ = std::string(version);
    message->sawRequestLine_ = true;
    message->headerComplete_ = true;
    return message;
}

std::shared_ptr<HTTPMessage> HTTPMessage::initResponseWithStatusCode(int64_t code,
                                                                     std::optional<std::string> description,
                                                                     std::string_view version) {
    auto message = make();
    message->isRequest_ = false;
    message->headerComplete_ = true;
    message->statusCode_ = code;
    message->reason_ = description ? std::move(*description) : reasonPhraseForStatusCode(code);
    // The reason phrase ends up on the status line; a line end in it must not split the header.
    for (auto& c : message->reason_) {
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    }
    message->version_ = std::string(version);
    return message;
}

bool HTTPMessage::appendData(std::string_view bytes) {
    return appendData(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

bool HTTPMessage::appendData(std::span<const uint8_t> bytes) {
    if (!isRequest_ || failed_) return false;
    size_t consumed = 0;
    if (!headerComplete_) {
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (!appendHeaderBytes(text, consumed)) {
            failed_ = true;
            return false;
        }
    }
    if (headerComplete_ && consumed < bytes.size()) {
        body_.insert(body_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(consumed), bytes.end());
    }
    return true;
}

// Takes whole lines out of the bytes (joined to what an earlier call left pending) until the
// header is complete; consumed tells how many of the bytes belong to the header.
bool HTTPMessage::appendHeaderBytes(std::string_view bytes, size_t& consumed) {
    consumed = 0;
    while (consumed < bytes.size() && !headerComplete_) {
        const auto rest = bytes.substr(consumed);
        const auto newline = rest.find('\n');
        const size_t take = newline == std::string_view::npos ? rest.size() : newline + 1;
        if (pending_.size() + take > kMaxLineLength) return false;
        consumed += take;
        if (newline == std::string_view::npos) {
            pending_.append(rest.data(), take);
            break;
        }
        // A whole line in the bytes is taken where it lies; only a line that came in pieces is
        // put together in pending_.
        std::string_view line = rest.substr(0, take);
        if (!pending_.empty()) {
            pending_.append(line);
            line = pending_;
        }
        // A line ends with CRLF, and only there.
        if (line.size() < 2 || line[line.size() - 2] != '\r') return false;
        const bool ok = processLine(line.substr(0, line.size() - 2));
        pending_.clear();
        if (!ok) return false;
    }
    return true;
}

bool HTTPMessage::processLine(std::string_view line) {
    // Two scans of the line: find_first_of would look up the set once for every character.
    if (line.find('\r') != std::string_view::npos || line.find('\n') != std::string_view::npos) return false;
    if (line.empty() && sawRequestLine_) return completeHeader();
    if (++lineCount_ > kMaxHeaderLines) return false;
    if (line.empty()) return true;  // empty lines before the request line are skipped
    if (!sawRequestLine_) return parseRequestLine(line);
    return parseField(line);
}

bool HTTPMessage::parseRequestLine(std::string_view line) {
    const auto first = line.find(' ');
    if (first == std::string_view::npos) return false;
    const auto second = line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) return false;
    const auto method = line.substr(0, first);
    const auto target = line.substr(first + 1, second - first - 1);
    const auto version = line.substr(second + 1);
    if (!isToken(method) || target.empty() || !isVersion(version)) return false;
    auto url = platform::Url::parseReference(target);
    if (!url) return false;
    method_ = std::string(method);
    target_ = std::string(target);
    version_ = std::string(version);
    url_ = std::move(url);
    sawRequestLine_ = true;
    return true;
}

bool HTTPMessage::parseField(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    const auto name = line.substr(0, colon);
    if (!isToken(name)) return false;  // also refuses continuation lines and "Name :"
    const auto value = trimLeadingBlanks(line.substr(colon + 1));
    for (char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t') || b == 0x7F) return false;
    }
    auto existing = findField(name);
    if (existing == fields_.end()) {
        fields_.emplace_back(std::string(name), std::string(value));
        return true;
    }
    // Two hosts, or two lengths that disagree, leave it open which one the request means.
    if (equalsIgnoringCase(name, "Host")) return false;
    if (equalsIgnoringCase(name, "Content-Length")) return existing->second == value;
    // Repeated fields form one list; an empty element adds nothing to it.
    if (value.empty()) return true;
    if (existing->second.empty()) {
        existing->second = std::string(value);
    } else {
        existing->second.append(", ").append(value);
    }
    return true;
}

bool HTTPMessage::completeHeader() {
    const auto host = headerField("Host");
    // Blanks after the host name are the field's, not the host's.
    auto url = platform::Url::fromRequestTarget(target_, host ? std::optional<std::string_view>(trimTrailingBlanks(*host))
                                                              : std::nullopt);
    if (!url) return false;
    url_ = std::move(url);
    headerComplete_ = true;
    return true;
}

std::vector<std::pair<std::string, std::string>>::iterator HTTPMessage::findField(std::string_view name) {
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        if (equalsIgnoringCase(it->first, name)) return it;
    }
    return fields_.end();
}

std::vector<std::pair<std::string, std::string>>::const_iterator HTTPMessage::findField(
    std::string_view name) const {
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        if (equalsIgnoringCase(it->first, name)) return it;
    }
    return fields_.end();
}

std::map<std::string, std::string> HTTPMessage::allHeaderFields() const {
    return std::map<std::string, std::string>(fields_.begin(), fields_.end());
}

std::optional<std::string> HTTPMessage::headerField(std::string_view name) const {
    const auto it = findField(name);
    if (it == fields_.end()) return std::nullopt;
    return it->second;
}

void HTTPMessage::setHeaderField(std::string_view name, std::string_view value) {
    if (!isToken(name)) return;
    std::string clean(value);
    for (auto& c : clean) {
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    }
    auto existing = findField(name);
    if (existing != fields_.end()) {
        existing->second = std::move(clean);
    } else {
        fields_.emplace_back(std::string(name), std::move(clean));
    }
}

HTTPMessage::Bytes HTTPMessage::messageData() const {
    const std::string status = isRequest_ ? std::string() : std::to_string(statusCode_);
    const std::string_view first[] = {isRequest_ ? std::string_view(method_) : std::string_view(version_), " ",
                                      isRequest_ ? std::string_view(target_) : std::string_view(status), " ",
                                      isRequest_ ? std::string_view(version_) : std::string_view(reason_), "\r\n"};
    // Sized first, so that the message is written into one buffer made once.
    size_t size = 2 + body_.size();
    for (std::string_view piece : first) size += piece.size();
    for (const auto& [name, value] : fields_) size += name.size() + 2 + value.size() + 2;
    // A header is a score of short pieces: each is copied to its place, without the checks of
    // a vector insert for every one.
    Bytes out(size);
    uint8_t* at = out.data();
    auto append = [&at](std::string_view text) {
        if (!text.empty()) std::memcpy(at, text.data(), text.size());
        at += text.size();
    };
    for (std::string_view piece : first) append(piece);
    for (const auto& [name, value] : fields_) {
        append(name);
        append(": ");
        append(value);
        append("\r\n");
    }
    append("\r\n");
    if (!body_.empty()) std::memcpy(at, body_.data(), body_.size());
    return out;
}

std::string HTTPMessage::reasonPhraseForStatusCode(int64_t code) {
    switch (code) {
        case 100: return "Continue";
        case 101: return "Switching Protocols";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 203: return "Non-Authoritative Information";
        case 204: return "No Content";
        case 205: return "Reset Content";
        case 206: return "Partial Content";
        case 300: return "Multiple Choices";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 305: return "Use Proxy";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 410: return "Gone";
        case 411: return "Length Required";
        case 412: return "Precondition Failed";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 415: return "Unsupported Media Type";
        case 416: return "Range Not Satisfiable";
        case 417: return "Expectation Failed";
        case 426: return "Upgrade Required";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "";
    }
}
