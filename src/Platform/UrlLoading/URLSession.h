// URL loading for the document download: a GET of one URL, the body in memory, the media
// type of the reply, or an error with a readable description.
//
// A session is made from a configuration (extra header fields, the cookie store, limits).
// `download` starts the transfer on a loader thread and returns at once; the completion is
// called exactly once, on that loader thread, never from inside `download`. The HTTP status
// of the reply is not judged: whatever body the server sends is the download. Redirects are
// followed (http and https only). The request carries the configuration's "Cookie" field
// when it has one, else the cookies the store holds for the URL's host.
//
// Loader threads belong to the process-wide loader, which joins them; at process exit a
// transfer still running is aborted and completes with the "cancelled" error. All calls may
// come from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Error.h"
#include "Platform/UrlLoading/HTTPCookieStorage.h"
#include "Platform/UrlLoading/URLRequest.h"

namespace platform {

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

// The codes of the URL loading errors.
enum URLErrorCode : long {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorTooManyRedirects = -1007,
    URLErrorBadServerResponse = -1011,
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateUntrusted = -1202,
};

struct URLSessionConfiguration {
    // Header fields added to every request, e.g. {"Cookie": "..."}.
    std::map<std::string, std::string> additionalHeaders;
    // The cookie store; nullptr means the process's shared store.
    std::shared_ptr<HTTPCookieStorage> cookieStorage;
    // Trusted certificates (a PEM file) in place of the system's; empty for the system's.
    std::string trustedCertificatesFile;
    // A reply body beyond this size fails the download: a page must not make the process
    // hold an unbounded download in memory.
    size_t maximumBodyBytes = 128u * 1024 * 1024;
    // The transfer fails when it makes no progress (connecting, or no byte received) this long.
    std::chrono::seconds idleTimeout{60};

    // The configuration every new session starts from.
    static URLSessionConfiguration defaultConfiguration();
    // Test seam: replaces what defaultConfiguration() answers.
    static void setDefaultConfiguration(URLSessionConfiguration configuration);
};

struct URLResponse {
    std::string url;       // the URL the body came from (after redirects)
    long statusCode = 0;   // the HTTP status
    std::string mimeType;  // the media type of "Content-Type", lower case, without parameters; empty when none
};

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    // Exactly one of `data` and `error` is set; `response` is set with `data`.
    using DownloadCompletion =
        std::function<void(std::optional<std::vector<uint8_t>> data, std::optional<URLResponse> response, std::optional<Error> error)>;

    static std::shared_ptr<URLSession> create(URLSessionConfiguration configuration);

    // Why no URL can be loaded in this process: the error naming the URL loading library when
    // it cannot be loaded, else nothing. Every download then fails with this error, and
    // URLRequest::make makes no request. The first call loads the library.
    static std::optional<Error> loadingError();

    const URLSessionConfiguration& configuration() const { return configuration_; }

    // Starts the GET; see the header comment for where and when the completion runs.
    void download(const URLRequest& request, DownloadCompletion completion);

private:
    explicit URLSession(URLSessionConfiguration configuration) : configuration_(std::move(configuration)) {}
    const URLSessionConfiguration configuration_;
};

}  // namespace platform
