#include "PlxHttp/PlxHTTPConnection.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "Keychain/OVKeychain.h"
#include "Logging/LxLogMacros.h"
#include "Model/HostModel.h"
#include "Model/OriginModel.h"
#include "PlxHttp/HttpScardResponse.h"
#include "PlxHttp/PlxFileResponse.h"
#include "Util/PlxUrl.h"

namespace {

// The whole path component, its length included: a decoded "%00" must not end the comparison
// early, or "/scard%00x" would pass for "/scard".
bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

HTTPConnection::ServerIdentity PlxHTTPConnection::sslIdentityAndCertificates() {
    // Looked up (and made on first use) for every connection: nothing is kept in memory, so
    // an identity removed from the keychain is made again by the next connection.
    platform::OSStatus status = platform::kKeychainSuccess;
    auto identities = OVKeychain::sslIdentityAndCertificates(kIdentityName, &status);
    // A keychain that cannot be read for now may well hold the identity, and one that cannot
    // take the new identity for now will take it later: this connection is closed rather than
    // served in the clear.
    if (platform::failsForNow(status)) return ServerIdentity::unavailableForNow();
    if (!identities || identities->empty()) return ServerIdentity::none();
    const auto& identity = identities->front();
    if (!identity || !identity->privateKey() || !identity->certificate()) return ServerIdentity::none();
    return ServerIdentity::found(
        platform::TlsIdentity(identity->privateKey()->evpKey(), {identity->certificate()->x509()}));
}

bool PlxHTTPConnection::supportsMethod(const std::string& method, const std::string& path) {
    if (method == "POST" && path.starts_with("/scard")) return true;
    return HTTPConnection::supportsMethod(method, path);
}

bool PlxHTTPConnection::expectsRequestBodyFromMethod(const std::string& method, const std::string& path) {
    if (method == "POST") return true;
    return HTTPConnection::expectsRequestBodyFromMethod(method, path);
}

void PlxHTTPConnection::processBodyData(std::span<const uint8_t> postDataChunk) {
    const auto& message = request();
    if (!message || !message->appendData(postDataChunk)) {
        LX_LOG_ERROR(LogContextHttpServer, "%@[%p]: %@ - Couldn't append bytes!", THIS_FILE,
                     static_cast<const void*>(this), "processBodyData:");
    }
}

std::shared_ptr<HTTPResponse> PlxHTTPConnection::httpResponseForMethod(const std::string& method,
                                                                       const std::string& path) {
    const auto& message = request();
    std::optional<platform::Url> relative = message ? message->url() : std::nullopt;
    if (!relative) return nullptr;
    platform::Url url = relative->absoluteUrl();

    if (!PlxUrl::isLocalHost(url)) {
        LX_LOG_WARN(LogContextHttpServer, "Host not allowed! Host = %@", url.host());
        return nullptr;  // answered 404
    }

    HostModel host(message->headerField("Host"));
    if (!host.isValid()) {
        LX_LOG_WARN(LogContextHttpServer, "Host not allowed! Host = %@", host.value());
        handleForbiddenResource();
        return nullptr;
    }

    const std::vector<std::string> components = url.pathComponents();
    if (components.size() >= 2 && equalsIgnoringCase(components[1], "scard")) return processScardRequest(url);
    if (components.size() < 2 && path == "/") {
        return std::make_shared<HTTPDataResponse>(HTTPDataResponse::Buffer(kRootPage, kRootPage + strlen(kRootPage)));
    }
    LX_LOG_WARN(LogContextHttpServer, "Wrong path. No resource found. path = %@", path);
    return HTTPConnection::httpResponseForMethod(method, path);
}

std::shared_ptr<HTTPResponse> PlxHTTPConnection::processScardRequest(const platform::Url& url) {
    const std::vector<std::string> components = url.pathComponents();
    if (components.size() >= 3 && equalsIgnoringCase(components[2], "loaddoc")) {
        return std::make_shared<PlxFileResponse>(PlxUrl::valueForQuery(url, "sessionref"));
    }
    originHeader_ = request()->headerField("Origin");
    OriginModel origin(originHeader_);
    if (!origin.isValid()) {
        handleForbiddenResource();
        return nullptr;
    }
    return std::make_shared<HttpScardResponse>(url, request());
}

HTTPConnection::Bytes PlxHTTPConnection::preprocessResponse(HTTPMessage& response) {
    if (originHeader_) response.setHeaderField("Access-Control-Allow-Origin", *originHeader_);
    return HTTPConnection::preprocessResponse(response);
}
