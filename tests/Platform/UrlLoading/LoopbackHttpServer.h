// A tiny HTTP/1.1 server on 127.0.0.1 for the download tests: one thread, a blocking accept
// on an ephemeral port, one request per connection (answered with "Connection: close"),
// plain or over TLS with a self-signed certificate for 127.0.0.1 and localhost that it makes
// itself. It records every request it has read and answers from a handler; a handler may
// hold the reply back until the server stops.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pellix_test {

struct RecordedRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::vector<std::string>> headers;  // lower-case names
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() || it->second.empty() ? std::string() : it->second.front();
    }
    size_t count(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? 0 : it->second.size();
    }
};

struct CannedReply {
    int status = 200;
    std::string contentType = "application/octet-stream";  // empty: no Content-Type field
    std::string body;
    std::vector<std::string> extraHeaders;
    bool hang = false;  // never answer; the connection stays open until stop()
};

class LoopbackHttpServer {
public:
    using Handler = std::function<CannedReply(const RecordedRequest&)>;

    explicit LoopbackHttpServer(bool tls, Handler handler);
    ~LoopbackHttpServer();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" or "https://..."
    std::string baseUrl() const;
    // The PEM file of the certificate (TLS servers only): the trust a client needs.
    const std::string& certificateFile() const { return certFile_; }

    std::vector<RecordedRequest> requests();
    void stop();

private:
    void run();
    void serve(int fd);

    bool tls_;
    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    SSL_CTX* ctx_ = nullptr;
    std::string certFile_;
    std::string tempDir_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;                 // guarded by mutex_
    std::vector<RecordedRequest> requests_; // guarded by mutex_
    std::vector<int> openFds_;              // guarded by mutex_
};

}  // namespace pellix_test
