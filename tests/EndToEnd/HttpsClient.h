// A small libcurl client for the end-to-end tests: one client is one connection to pellix,
// kept alive from request to request for as long as the server keeps it.
//
// Requests go to https://localhost:31505 (the name the certificate carries) while the TCP
// connection goes to the chosen loopback address, so a test can reach ::1 and still verify
// the certificate. The request target is sent exactly as given (no path clean-up), and the
// "Host" header can be replaced or removed, which is how the gate's host tests are driven.
//
// Not thread-safe: one client per thread.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct HttpReply {
    long status = 0;                                          // 0 when the exchange failed
    std::string error;                                        // curl's text when it failed
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case, in order
    std::string body;
    bool newConnection = false;  // the request opened a connection of its own

    // The value of the first field of that name (any case), or none.
    std::optional<std::string> header(const std::string& name) const;
    // The number of fields of that name.
    int headerCount(const std::string& name) const;
};

struct HttpRequest {
    explicit HttpRequest(std::string m = "GET", std::string t = "/", std::optional<std::string> b = std::nullopt,
                         std::vector<std::string> h = {})
        : method(std::move(m)), target(std::move(t)), headers(std::move(h)), body(std::move(b)) {}

    std::string method;
    std::string target;                 // path and query, sent as written
    std::vector<std::string> headers;   // "Name: value"; "Host: x" replaces curl's, "Host:" removes it
    std::optional<std::string> body;    // sent with "Content-Length" when present
};

class HttpsClient {
public:
    struct Options {
        bool tls = true;
        std::string caFile;                    // the certificate to trust
        bool verify = true;                    // false: take any certificate (before one exists)
        std::string address = "127.0.0.1";     // where the connection goes ("::1" for IPv6)
        long timeoutMs = 30000;

        // Verifies the server against that certificate alone.
        static Options trusting(std::string caFile, std::string address = "127.0.0.1") {
            Options o;
            o.caFile = std::move(caFile);
            o.address = std::move(address);
            return o;
        }
        // Takes any certificate: for the first connection, before the identity exists.
        static Options anyCertificate() {
            Options o;
            o.verify = false;
            return o;
        }
    };

    explicit HttpsClient(Options options);
    ~HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    HttpReply send(const HttpRequest& request);

    // Shorthands. post: an API call with the Origin of the allowed web site when origin is
    // empty, with the given Origin otherwise, and without one when origin is std::nullopt.
    HttpReply post(const std::string& target, const std::string& body = "{}",
                   const std::optional<std::string>& origin = std::string());
    HttpReply get(const std::string& target, std::vector<std::string> headers = {});

private:
    Options options_;
    void* curl_ = nullptr;  // CURL*, kept so that the connection is reused
};

}  // namespace e2e
