// libFuzzer target for the "Authorization" field parser: any value, given as it stands and as
// the field of a request, must parse the same way; no read or write may go out of bounds; a
// field is never both basic and digest; every value found is a piece of the field (a quoted
// one holds no double quote, an unquoted one no comma); and basic credentials decode, however
// broken, to no more bytes than their text could hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "Core/Categories/LxData.h"
#include "Core/HTTPAuthenticationRequest.h"
#include "Core/HTTPMessage.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// A value found in the field is a piece of it, without the character that ends it (none for
// qop, which may be either kind).
void checkPiece(const std::optional<std::string>& value, std::string_view field, std::optional<char> end) {
    if (!value) return;
    check(field.find(*value) != std::string_view::npos);
    if (end) check(value->find(*end) == std::string::npos);
}

void checkParse(const HTTPAuthenticationRequest& auth, std::string_view field) {
    check(!(auth.isBasic() && auth.isDigest()));
    if (!auth.isDigest()) check(!auth.username() && !auth.nonce() && !auth.nc() && !auth.response());
    checkPiece(auth.username(), field, '"');
    checkPiece(auth.realm(), field, '"');
    checkPiece(auth.nonce(), field, '"');
    checkPiece(auth.uri(), field, '"');
    checkPiece(auth.cnonce(), field, '"');
    checkPiece(auth.response(), field, '"');
    checkPiece(auth.nc(), field, ',');
    checkPiece(auth.qop(), field, std::nullopt);
    if (const auto& credentials = auth.base64Credentials()) {
        check(field.find(*credentials) != std::string_view::npos);
        check(LxData::base64Decoded(std::string_view(*credentials)).size() <= credentials->size() / 4 * 3 + 2);
    }
}

bool sameParse(const HTTPAuthenticationRequest& a, const HTTPAuthenticationRequest& b) {
    return a.isBasic() == b.isBasic() && a.isDigest() == b.isDigest() && a.base64Credentials() == b.base64Credentials() &&
           a.username() == b.username() && a.realm() == b.realm() && a.nonce() == b.nonce() && a.uri() == b.uri() &&
           a.qop() == b.qop() && a.nc() == b.nc() && a.cnonce() == b.cnonce() && a.response() == b.response();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string field(reinterpret_cast<const char*>(data), size);

    const HTTPAuthenticationRequest direct{std::optional<std::string>(field)};
    checkParse(direct, field);

    // The same value as a request's field, when the request parser takes it.
    auto request = HTTPMessage::initEmptyRequest();
    if (request->appendData("GET / HTTP/1.1\r\nHost: localhost\r\nAuthorization: " + field + "\r\n\r\n") &&
        request->isHeaderComplete()) {
        const std::optional<std::string> value = request->headerField("Authorization");
        check(value.has_value());
        const HTTPAuthenticationRequest viaRequest(*request);
        check(sameParse(viaRequest, HTTPAuthenticationRequest(value)));
    }

    // The sub-field readers with a name taken from the input itself.
    const size_t cut = field.find('=');
    const std::string_view name = std::string_view(field).substr(0, cut == std::string::npos ? 0 : cut);
    checkPiece(HTTPAuthenticationRequest::quotedSubHeaderFieldValue(name, field), field, '"');
    checkPiece(HTTPAuthenticationRequest::nonquotedSubHeaderFieldValue(name, field), field, ',');
    return 0;
}
