#include "EndToEnd/HttpsClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "EndToEnd/PellixProcess.h"

namespace e2e {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

size_t collectBody(char* data, size_t size, size_t count, void* user) {
    static_cast<HttpReply*>(user)->body.append(data, size * count);
    return size * count;
}

// Header lines of every response curl reads (also interim ones): a status line starts over.
size_t collectHeader(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<HttpReply*>(user);
    const std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        reply->headers.clear();
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
        reply->headers.emplace_back(lower(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return size * count;
}

}  // namespace

std::optional<std::string> HttpReply::header(const std::string& name) const {
    const std::string wanted = lower(name);
    for (const auto& [n, v] : headers) {
        if (n == wanted) return v;
    }
    return std::nullopt;
}

int HttpReply::headerCount(const std::string& name) const {
    const std::string wanted = lower(name);
    return static_cast<int>(std::count_if(headers.begin(), headers.end(), [&](const auto& h) { return h.first == wanted; }));
}

HttpsClient::HttpsClient(Options options) : options_(std::move(options)) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    curl_ = curl_easy_init();
}

HttpsClient::~HttpsClient() {
    if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

HttpReply HttpsClient::send(const HttpRequest& request) {
    HttpReply reply;
    CURL* curl = static_cast<CURL*>(curl_);
    if (!curl) {
        reply.error = "curl_easy_init failed";
        return reply;
    }
    // Options from the previous request must not leak into this one, but the connection
    // cache of the handle survives a reset.
    curl_easy_reset(curl);

    const bool tls = options_.tls;
    const std::string port = std::to_string(kPort);
    const std::string url = std::string(tls ? "https" : "http") + "://localhost:" + port + request.target;
    const std::string address = options_.address.find(':') != std::string::npos ? "[" + options_.address + "]"
                                                                                  : options_.address;
    const std::string connectTo = "localhost:" + port + ":" + address + ":" + port;
    curl_slist* connect = curl_slist_append(nullptr, connectTo.c_str());

    curl_slist* headers = nullptr;
    // curl would add these on its own; the server must see only what the test sends.
    headers = curl_slist_append(headers, "Accept:");
    headers = curl_slist_append(headers, "Expect:");
    if (request.body) headers = curl_slist_append(headers, "Content-Type:");
    for (const auto& h : request.headers) headers = curl_slist_append(headers, h.c_str());

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options_.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    if (tls) {
        if (options_.verify) {
            curl_easy_setopt(curl, CURLOPT_CAINFO, options_.caFile.c_str());
            curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        } else {
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        }
    }
    if (request.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET" || request.body) {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (request.body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    }

    const CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        long connects = 0;
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
        reply.newConnection = connects > 0;
    } else {
        reply.error = curl_easy_strerror(rc);
    }
    curl_slist_free_all(headers);
    curl_slist_free_all(connect);
    return reply;
}

HttpReply HttpsClient::post(const std::string& target, const std::string& body,
                            const std::optional<std::string>& origin) {
    HttpRequest request("POST", target, body);
    if (origin) request.headers.push_back("Origin: " + (origin->empty() ? std::string(kAllowedOrigin) : *origin));
    return send(request);
}

HttpReply HttpsClient::get(const std::string& target, std::vector<std::string> headers) {
    HttpRequest request("GET", target);
    request.headers = std::move(headers);
    return send(request);
}

}  // namespace e2e
