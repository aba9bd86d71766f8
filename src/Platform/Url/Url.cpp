#include "Platform/Url/Url.h"

#include <arpa/inet.h>

#include <cstring>

namespace platform {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) { return std::strchr("!$&'()*+,;=", c) != nullptr && c != '\0'; }

// Every byte printable (or 0x80 and above), every "%" a complete escape.
bool hasOnlyUrlBytes(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b <= 0x20 || b == 0x7F) return false;
        if (b == '%') {
            if (text.size() - i < 3) return false;
            if (hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return false;
            i += 2;
        }
    }
    return true;
}

// Characters of a registered name or user information: unreserved, sub-delimiters and
// escapes (the escapes were checked by hasOnlyUrlBytes); extra names one more allowed char.
bool isNameText(std::string_view text, char extra) {
    for (char c : text) {
        if (!(isUnreserved(c) || isSubDelim(c) || c == '%' || (extra != '\0' && c == extra))) return false;
    }
    return true;
}

std::optional<uint16_t> parsePort(std::string_view digits, bool& ok) {
    ok = true;
    if (digits.empty()) return std::nullopt;
    unsigned long value = 0;
    for (char c : digits) {
        if (!isDigit(c)) {
            ok = false;
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) {
            ok = false;
            return std::nullopt;
        }
    }
    return static_cast<uint16_t>(value);
}

struct Authority {
    std::optional<std::string> host;
    std::optional<uint16_t> port;
};

std::optional<Authority> parseAuthority(std::string_view authority) {
    std::string_view hostPort = authority;
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        if (!isNameText(authority.substr(0, at), ':')) return std::nullopt;
        hostPort = authority.substr(at + 1);
    }
    Authority result;
    std::string_view portText;
    if (!hostPort.empty() && hostPort.front() == '[') {
        const auto close = hostPort.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const std::string literal(hostPort.substr(1, close - 1));
        in6_addr address{};
        if (inet_pton(AF_INET6, literal.c_str(), &address) != 1) return std::nullopt;
        result.host = literal;
        const auto rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            portText = rest.substr(1);
        }
    } else {
        const auto colon = hostPort.rfind(':');
        const auto name = colon == std::string_view::npos ? hostPort : hostPort.substr(0, colon);
        if (colon != std::string_view::npos) portText = hostPort.substr(colon + 1);
        if (!isNameText(name, '\0')) return std::nullopt;
        result.host = std::string(name);
    }
    bool ok = false;
    result.port = parsePort(portText, ok);
    if (!ok) return std::nullopt;
    return result;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view input) {
    std::string in(input);
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.erase(0, 3);
        } else if (in.starts_with("./")) {
            in.erase(0, 2);
        } else if (in.starts_with("/./")) {
            in.erase(0, 2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../") || in == "/..") {
            if (in == "/..") {
                in = "/";
            } else {
                in.erase(0, 3);
            }
            const auto slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            const auto next = in.find('/', in.front() == '/' ? 1 : 0);
            const auto segment = next == std::string::npos ? in.size() : next;
            out.append(in, 0, segment);
            in.erase(0, segment);
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> Url::percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        const int hi = hexValue(text[i + 1]);
        const int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

std::optional<Url> Url::parseReference(std::string_view text) {
    if (!hasOnlyUrlBytes(text)) return std::nullopt;
    Url url;
    url.text_ = std::string(text);
    std::string_view rest = text;
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    // A scheme is letters, digits, "+", "-" and "." after a first letter, ended by ":" before
    // any "/"; otherwise the colon belongs to a relative path.
    if (const auto colon = rest.find(':'); colon != std::string_view::npos && colon > 0 && isAlpha(rest.front())) {
        const auto candidate = rest.substr(0, colon);
        bool isScheme = candidate.find('/') == std::string_view::npos;
        for (char c : candidate) {
            if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) isScheme = false;
        }
        if (isScheme) {
            std::string scheme(candidate);
            for (auto& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            url.scheme_ = scheme;
            rest = rest.substr(colon + 1);
        }
    }
    if (rest.starts_with("//")) {
        rest = rest.substr(2);
        const auto slash = rest.find('/');
        const auto authorityText = rest.substr(0, slash);
        auto authority = parseAuthority(authorityText);
        if (!authority) return std::nullopt;
        url.authority_ = std::string(authorityText);
        url.host_ = authority->host;
        url.port_ = authority->port;
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    }
    url.path_ = std::string(rest);
    return url;
}

std::optional<Url> Url::parse(std::string_view text) {
    auto url = parseReference(text);
    if (!url || !url->scheme_) return std::nullopt;
    return url;
}

std::optional<Url> Url::resolve(std::string_view reference, const Url& base) {
    auto ref = parseReference(reference);
    if (!ref) return std::nullopt;
    if (ref->scheme_) {
        ref->path_ = removeDotSegments(ref->path_);
        return ref;
    }
    if (!base.scheme_) return std::nullopt;
    // The reference's parts become the target's; from here on they are read from the target.
    Url target = std::move(*ref);
    target.scheme_ = base.scheme_;
    if (target.authority_) {
        target.path_ = removeDotSegments(target.path_);
    } else {
        target.authority_ = base.authority_;
        target.host_ = base.host_;
        target.port_ = base.port_;
        if (target.path_.empty()) {
            target.path_ = base.path_;
            if (!target.query_) target.query_ = base.query_;
        } else if (target.path_.front() == '/') {
            target.path_ = removeDotSegments(target.path_);
        } else if (base.authority_ && base.path_.empty()) {
            target.path_ = removeDotSegments("/" + target.path_);
        } else {
            const auto slash = base.path_.rfind('/');
            const std::string merged =
                (slash == std::string::npos ? std::string() : base.path_.substr(0, slash + 1)) + target.path_;
            target.path_ = removeDotSegments(merged);
        }
    }
    return target;
}

std::optional<Url> Url::fromRequestTarget(std::string_view target, std::optional<std::string_view> hostField) {
    if (target.empty()) return std::nullopt;
    if (!hostField || hostField->empty()) {
        auto ref = parseReference(target);
        if (ref && ref->scheme_) ref->path_ = removeDotSegments(ref->path_);
        return ref;
    }
    // Every request on a connection names the same host, so each thread keeps the base of the
    // last host field it saw instead of checking and parsing it again for every request.
    struct LastBase {
        std::string hostField;
        std::optional<Url> base;
        bool valid = false;
    };
    thread_local LastBase last;
    if (!last.valid || last.hostField != *hostField) {
        // The field names a host and an optional port, nothing else.
        for (char c : *hostField) {
            if (c == '@' || c == '/' || c == '?' || c == '#') return std::nullopt;
        }
        last.valid = false;
        last.hostField.assign(hostField->data(), hostField->size());
        last.base = parse("http://" + last.hostField);
        last.valid = true;
    }
    const std::optional<Url>& base = last.base;
    if (!base || !base->host_ || base->host_->empty()) return std::nullopt;
    return resolve(target, *base);
}

std::string Url::absoluteString() const {
    if (!scheme_) return text_;
    std::string out = *scheme_ + ":";
    if (authority_) out += "//" + *authority_;
    out += path_;
    if (query_) out += "?" + *query_;
    if (fragment_) out += "#" + *fragment_;
    return out;
}

Url Url::absoluteUrl() const {
    Url url = *this;
    url.text_ = absoluteString();
    return url;
}

std::vector<std::string> Url::pathComponents() const {
    std::vector<std::string> components;
    if (path_.empty()) return components;
    if (path_.front() == '/') components.emplace_back("/");
    size_t start = 0;
    while (start <= path_.size()) {
        auto end = path_.find('/', start);
        if (end == std::string::npos) end = path_.size();
        if (end > start) {
            const std::string_view segment(path_.data() + start, end - start);
            auto decoded = percentDecode(segment);
            components.push_back(decoded ? std::move(*decoded) : std::string(segment));
        }
        start = end + 1;
    }
    return components;
}

std::string Url::lastPathComponent() const {
    auto components = pathComponents();
    return components.empty() ? std::string() : components.back();
}

}  // namespace platform
