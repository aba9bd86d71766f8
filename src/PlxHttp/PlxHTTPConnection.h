// The program's HTTP connection class: the gate of the web API.
//
// Every connection runs TLS with the program's own identity (looked up, and made on first
// use, once per connection; without one it serves plain HTTP). A keychain that cannot be read
// for now, or cannot store a new identity for now, closes the connection unread: that never
// turns the port into plain HTTP. Only
// requests addressed to the local host pass: a URL host other than localhost or 127.0.0.1 gets
// 404, a "Host" header other than localhost or 127.0.0.1 (with an optional port) gets 403
// alone. Under /scard the stored-document reader (loaddoc) needs no Origin; every other API
// request needs an Origin of the allowed web origins (403 alone otherwise) and goes to the API
// responder. "/" gives a fixed page; every other path gets 404.
//
// Once an API request other than loaddoc has been received on the connection, every reply on
// it other than a refusal carries "Access-Control-Allow-Origin" with the Origin of the most
// recent such request, exactly as received.
//
// Queues: every hook runs on the connection queue shared by all connections, as do the card
// and document operations the API responder performs.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Core/HTTPConnection.h"

class PlxHTTPConnection : public HTTPConnection {
public:
    // The identity label the connection looks for and makes.
    static constexpr const char* kIdentityName = "Pellix";
    // The fixed page at "/".
    static constexpr const char* kRootPage = "<html> <h1> Your certificate is valid </h1> </html>";

    using HTTPConnection::HTTPConnection;

    bool isSecureServer() override { return true; }
    ServerIdentity sslIdentityAndCertificates() override;
    bool supportsMethod(const std::string& method, const std::string& path) override;
    bool expectsRequestBodyFromMethod(const std::string& method, const std::string& path) override;
    void processBodyData(std::span<const uint8_t> postDataChunk) override;
    std::shared_ptr<HTTPResponse> httpResponseForMethod(const std::string& method, const std::string& path) override;
    Bytes preprocessResponse(HTTPMessage& response) override;

    // The Origin of the most recent API request other than loaddoc; nullopt before the first
    // one and after one without an Origin.
    const std::optional<std::string>& originHeader() const { return originHeader_; }

private:
    std::shared_ptr<HTTPResponse> processScardRequest(const platform::Url& url);

    std::optional<std::string> originHeader_;
};
