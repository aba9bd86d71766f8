#include "Platform/UrlLoading/URLSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "Platform/BundleInfo.h"
#include "Platform/UrlLoading/detail/CurlLibrary.h"
#include "Platform/UrlLoading/detail/URLLoader.h"

namespace platform {

namespace {

std::mutex& defaultMutex() {
    static std::mutex m;
    return m;
}
URLSessionConfiguration& defaultSlot() {
    static URLSessionConfiguration c;
    return c;
}

Error urlError(long code, std::string description, std::string reason = {}) {
    return Error{kURLErrorDomain, code, std::move(description), std::move(reason)};
}

Error errorForCurl(const detail::CurlLibrary& curl, CURLcode rc, const char* detail) {
    std::string reason = detail && *detail ? detail : curl.easy_strerror(rc);
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT: return urlError(URLErrorTimedOut, "The request timed out.", reason);
    case CURLE_COULDNT_RESOLVE_HOST:
        return urlError(URLErrorCannotFindHost, "A server with the specified hostname could not be found.", reason);
    case CURLE_COULDNT_CONNECT: return urlError(URLErrorCannotConnectToHost, "Could not connect to the server.", reason);
    case CURLE_UNSUPPORTED_PROTOCOL: return urlError(URLErrorUnsupportedURL, "unsupported URL", reason);
    case CURLE_URL_MALFORMAT: return urlError(URLErrorBadURL, "bad URL", reason);
    case CURLE_TOO_MANY_REDIRECTS: return urlError(URLErrorTooManyRedirects, "too many HTTP redirects", reason);
    case CURLE_PEER_FAILED_VERIFICATION:
        return urlError(URLErrorServerCertificateUntrusted,
                        "The certificate for this server is invalid. You might be connecting to a server that is pretending to be the requested host.",
                        reason);
    case CURLE_SSL_CONNECT_ERROR:
        return urlError(URLErrorSecureConnectionFailed, "An SSL error has occurred and a secure connection to the server cannot be made.", reason);
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE: return urlError(URLErrorNetworkConnectionLost, "The network connection was lost.", reason);
    case CURLE_WEIRD_SERVER_REPLY: return urlError(URLErrorBadServerResponse, "The server returned a bad response.", reason);
    case CURLE_ABORTED_BY_CALLBACK: return urlError(URLErrorCancelled, "cancelled", reason);
    default: return urlError(URLErrorUnknown, "An unknown error occurred.", reason);
    }
}

struct Transfer {
    std::vector<uint8_t> body;
    size_t maximum = 0;
    bool tooLarge = false;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (t->body.size() + n > t->maximum) {
        t->tooLarge = true;
        return 0;  // curl fails the transfer with a write error
    }
    t->body.insert(t->body.end(), data, data + n);
    return n;
}

int onProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return detail::URLLoader::shared().stopping() ? 1 : 0;
}

std::string mimeTypeOf(const char* contentType) {
    if (!contentType) return {};
    std::string t(contentType);
    t = t.substr(0, t.find(';'));
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    t.erase(t.begin(), std::find_if(t.begin(), t.end(), notSpace));
    t.erase(std::find_if(t.rbegin(), t.rend(), notSpace).base(), t.end());
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return t;
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
    std::string_view bv(b);
    return a.size() == bv.size() &&
           std::equal(a.begin(), a.end(), bv.begin(), [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

struct Outcome {
    std::optional<std::vector<uint8_t>> data;
    std::optional<URLResponse> response;
    std::optional<Error> error;
};

Outcome perform(const URLSessionConfiguration& config, const URLRequest& request) {
    Outcome out;
    std::vector<std::string> lines;
    bool hasCookie = false;
    for (const auto& [name, value] : config.additionalHeaders) {
        if (name.empty() || name.find(':') != std::string::npos || !HTTPCookie::isHeaderSafe(name) || !HTTPCookie::isHeaderSafe(value)) {
            out.error = urlError(URLErrorBadURL, "The request has a header field that cannot be sent.", name);
            return out;
        }
        hasCookie = hasCookie || equalsIgnoringCase(name, "Cookie");
        lines.push_back(name + ": " + value);
    }
    if (!hasCookie) {
        auto storage = config.cookieStorage ? config.cookieStorage : HTTPCookieStorage::shared();
        if (auto header = storage->cookieHeaderFor(request.host(), request.path(), request.isSecure())) lines.push_back("Cookie: " + *header);
    }

    const auto& lib = detail::CurlLibrary::shared();
    if (lib.error) {
        out.error = lib.error;
        return out;
    }
    CURL* curl = lib.easy_init();
    if (!curl) {
        out.error = urlError(URLErrorUnknown, "An unknown error occurred.", "no transfer handle");
        return out;
    }
    curl_slist* headers = nullptr;
    for (const auto& l : lines) headers = lib.slist_append(headers, l.c_str());
    Transfer transfer;
    transfer.maximum = config.maximumBodyBytes;
    char errorText[CURL_ERROR_SIZE] = {0};
    std::string userAgent = "pellix/" + BundleInfo::version();
    long idle = static_cast<long>(config.idleTimeout.count());
    if (idle < 1) idle = 1;

    lib.easy_setopt(curl, CURLOPT_URL, request.url().c_str());
    lib.easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    lib.easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib.easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    lib.easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    lib.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    lib.easy_setopt(curl, CURLOPT_MAXREDIRS, 16L);
    lib.easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    lib.easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
    lib.easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    lib.easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    lib.easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    lib.easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    lib.easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    lib.easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    lib.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, idle);
    lib.easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib.easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, idle);
    lib.easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(config.maximumBodyBytes));
    if (!config.trustedCertificatesFile.empty()) lib.easy_setopt(curl, CURLOPT_CAINFO, config.trustedCertificatesFile.c_str());

    CURLcode rc = lib.easy_perform(curl);
    if (transfer.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
        out.error = urlError(URLErrorDataLengthExceedsMaximum, "resource exceeds maximum size",
                             "The document is larger than " + std::to_string(config.maximumBodyBytes) + " bytes.");
    } else if (rc != CURLE_OK) {
        out.error = errorForCurl(lib, rc, errorText);
    } else {
        URLResponse response;
        long status = 0;
        lib.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        char* contentType = nullptr;
        lib.easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType);
        char* effective = nullptr;
        lib.easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
        response.statusCode = status;
        response.mimeType = mimeTypeOf(contentType);
        response.url = effective ? effective : request.url();
        out.response = std::move(response);
        out.data = std::move(transfer.body);
    }
    lib.slist_free_all(headers);
    lib.easy_cleanup(curl);
    return out;
}

}  // namespace

URLSessionConfiguration URLSessionConfiguration::defaultConfiguration() {
    std::lock_guard<std::mutex> lock(defaultMutex());
    return defaultSlot();
}

void URLSessionConfiguration::setDefaultConfiguration(URLSessionConfiguration configuration) {
    std::lock_guard<std::mutex> lock(defaultMutex());
    defaultSlot() = std::move(configuration);
}

std::optional<Error> URLSession::loadingError() {
    return detail::CurlLibrary::shared().error;
}

std::shared_ptr<URLSession> URLSession::create(URLSessionConfiguration configuration) {
    return std::shared_ptr<URLSession>(new URLSession(std::move(configuration)));
}

void URLSession::download(const URLRequest& request, DownloadCompletion completion) {
    auto self = shared_from_this();
    detail::URLLoader::shared().start([self, request, completion = std::move(completion)] {
        Outcome o = perform(self->configuration_, request);
        if (completion) completion(std::move(o.data), std::move(o.response), std::move(o.error));
    });
}

}  // namespace platform
