#include "Core/HTTPAuthenticationRequest.h"

#include "Core/HTTPMessage.h"
#include "Core/detail/HTTPText.h"

HTTPAuthenticationRequest::HTTPAuthenticationRequest(const HTTPMessage& request)
    : HTTPAuthenticationRequest(request.headerField("Authorization")) {}

HTTPAuthenticationRequest::HTTPAuthenticationRequest(const std::optional<std::string>& authorization) {
    if (!authorization) return;
    const std::string_view field = *authorization;
    isBasic_ = core_detail::hasPrefixIgnoringCase(field, "Basic ");
    isDigest_ = core_detail::hasPrefixIgnoringCase(field, "Digest ");
    if (isBasic_) {
        base64Credentials_ = std::string(core_detail::trimmed(field.substr(6)));
    } else if (isDigest_) {
        username_ = quotedSubHeaderFieldValue("username", field);
        realm_ = quotedSubHeaderFieldValue("realm", field);
        nonce_ = quotedSubHeaderFieldValue("nonce", field);
        uri_ = quotedSubHeaderFieldValue("uri", field);
        // Clients send qop bare (qop=auth) or quoted (qop="auth").
        qop_ = nonquotedSubHeaderFieldValue("qop", field);
        if (qop_ && !qop_->empty() && qop_->front() == '"') qop_ = quotedSubHeaderFieldValue("qop", field);
        nc_ = nonquotedSubHeaderFieldValue("nc", field);
        cnonce_ = quotedSubHeaderFieldValue("cnonce", field);
        response_ = quotedSubHeaderFieldValue("response", field);
    }
}

std::optional<std::string> HTTPAuthenticationRequest::quotedSubHeaderFieldValue(std::string_view name,
                                                                                std::string_view header) {
    const std::string start = std::string(name) + "=\"";
    const size_t at = header.find(start);
    if (at == std::string_view::npos) return std::nullopt;
    const size_t begin = at + start.size();
    const size_t end = header.find('"', begin);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(header.substr(begin, end - begin));
}

std::optional<std::string> HTTPAuthenticationRequest::nonquotedSubHeaderFieldValue(std::string_view name,
                                                                                   std::string_view header) {
    const std::string start = std::string(name) + "=";
    const size_t at = header.find(start);
    if (at == std::string_view::npos) return std::nullopt;
    const size_t begin = at + start.size();
    const size_t comma = header.find(',', begin);
    if (comma != std::string_view::npos) return std::string(header.substr(begin, comma - begin));
    if (header.find(' ', begin) != std::string_view::npos) return std::nullopt;
    return std::string(header.substr(begin));
}
