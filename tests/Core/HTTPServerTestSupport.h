// Test doubles of the server tests: a connection class whose replies and hooks a test
// chooses, and a blocking loopback client (plain or TLS) that reads whole HTTP replies.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "Core/HTTPConnection.h"
#include "Core/HTTPServer.h"
#include "Core/Responses/HTTPDataResponse.h"

namespace server_test {

// What the test connections saw, shared by all of them.
struct Record {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> events;  // "prepare:N", "body:<bytes>", "finish", "reply:METHOD URI"
    int destroyed = 0;
    bool enabled = true;  // false: events are not kept (long runs)

    void add(std::string e) {
        std::lock_guard lock(mutex);
        if (!enabled) return;
        events.push_back(std::move(e));
        cv.notify_all();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    void clear() {
        std::lock_guard lock(mutex);
        events.clear();
    }
};

// A response with a chosen body, status and fields, optionally chunked.
class TestResponse : public HTTPDataResponse {
public:
    TestResponse(std::string body, int64_t status = 200, std::map<std::string, std::string> headers = {}, bool chunked = false)
        : HTTPDataResponse(Buffer(body.begin(), body.end())), status_(status), headers_(std::move(headers)), chunked_(chunked) {}
    unsigned implementedOperations() const override { return kStatus | kHttpHeaders | kIsChunked | kConnectionDidClose; }
    int64_t status() override { return status_; }
    std::map<std::string, std::string> httpHeaders() override { return headers_; }
    bool isChunked() override { return chunked_; }
    void connectionDidClose() override { ++closes; }
    int closes = 0;

private:
    int64_t status_;
    std::map<std::string, std::string> headers_;
    bool chunked_;
};

// The behaviour every TestConnection follows; set before the server accepts.
struct Behaviour {
    std::shared_ptr<Record> record = std::make_shared<Record>();
    // The reply for (method, uri, request body); nullptr: the base lookup (404).
    std::function<std::shared_ptr<HTTPResponse>(const std::string&, const std::string&, const std::string&)> respond =
        [](const std::string&, const std::string&, const std::string&) {
            return std::make_shared<TestResponse>("hello");
        };
    // Asked first when set: the reply for (the connection, method, uri), for responses that
    // call back into their connection; nullptr goes on to respond.
    std::function<std::shared_ptr<HTTPResponse>(const std::shared_ptr<HTTPConnection>&, const std::string&, const std::string&)>
        respondOnConnection;
    // Paths that the gate refuses with 403 (the hook answers itself and returns nullptr).
    std::string forbiddenPrefix = "/forbidden";
    std::optional<platform::TlsIdentity> identity;
    bool recordBody = true;
};

inline std::shared_ptr<Behaviour>& behaviour() {
    static std::shared_ptr<Behaviour> b = std::make_shared<Behaviour>();
    return b;
}

class TestConnection : public HTTPConnection {
public:
    TestConnection(std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config)
        : HTTPConnection(std::move(socket), std::move(config)), behaviour_(behaviour()) {}
    ~TestConnection() override {
        std::lock_guard lock(behaviour_->record->mutex);
        ++behaviour_->record->destroyed;
        behaviour_->record->cv.notify_all();
    }

    bool isSecureServer() override { return behaviour_->identity.has_value(); }
    ServerIdentity sslIdentityAndCertificates() override {
        return behaviour_->identity ? ServerIdentity::found(*behaviour_->identity) : ServerIdentity::none();
    }
    bool supportsMethod(const std::string& method, const std::string& path) override {
        if (method == "POST" || method == "PUT") return true;
        return HTTPConnection::supportsMethod(method, path);
    }
    // PATCH expects a body but is not supported: the length test still comes first.
    bool expectsRequestBodyFromMethod(const std::string& method, const std::string& path) override {
        return method == "PATCH" || HTTPConnection::expectsRequestBodyFromMethod(method, path);
    }
    void prepareForBodyWithSize(uint64_t size) override {
        body_.clear();
        behaviour_->record->add("prepare:" + std::to_string(size));
    }
    void processBodyData(std::span<const uint8_t> data) override {
        body_.append(reinterpret_cast<const char*>(data.data()), data.size());
        if (behaviour_->recordBody) behaviour_->record->add("body:" + std::string(reinterpret_cast<const char*>(data.data()), data.size()));
        else behaviour_->record->add("piece:" + std::to_string(data.size()));
    }
    void finishBody() override { behaviour_->record->add("finish"); }
    std::shared_ptr<HTTPResponse> httpResponseForMethod(const std::string& method, const std::string& path) override {
        behaviour_->record->add("reply:" + method + " " + path);
        if (path.rfind(behaviour_->forbiddenPrefix, 0) == 0) {
            handleForbiddenResource();
            return nullptr;
        }
        if (behaviour_->respondOnConnection) {
            if (auto own = behaviour_->respondOnConnection(shared_from_this(), method, path)) return own;
        }
        auto response = behaviour_->respond(method, path, body_);
        body_.clear();
        if (!response) return HTTPConnection::httpResponseForMethod(method, path);
        return response;
    }

private:
    std::shared_ptr<Behaviour> behaviour_;
    std::string body_;
};

// One parsed reply.
struct Reply {
    int status = 0;
    std::string statusLine;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string raw;
    bool has(const std::string& name) const { return headers.count(name) > 0; }
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// A blocking loopback client, optionally over TLS (verification off: self-signed).
class Client {
public:
    explicit Client(uint16_t port, bool tls = false, int timeoutMs = 5000) : timeoutMs_(timeoutMs) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connected_ && tls) {
            ctx_ = SSL_CTX_new(TLS_client_method());
            SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
            ssl_ = SSL_new(ctx_);
            SSL_set_fd(ssl_, fd_);
            connected_ = SSL_connect(ssl_) == 1;
        }
    }
    ~Client() {
        if (ssl_) SSL_free(ssl_);
        if (ctx_) SSL_CTX_free(ctx_);
        ERR_clear_error();
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }

    bool send(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            if (ssl_) {
                size_t n = 0;
                if (SSL_write_ex(ssl_, text.data() + done, text.size() - done, &n) != 1) return false;
                done += n;
            } else {
                const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
                if (n <= 0) return false;
                done += static_cast<size_t>(n);
            }
        }
        return true;
    }

    // Reads until the buffer holds a whole reply (or the peer closes, or the time-out).
    // headOnly: the reply to a HEAD request has no body whatever its length fields say.
    std::optional<Reply> readReply(bool headOnly = false) {
        for (;;) {
            if (auto reply = parse(headOnly)) return reply;
            if (!fill()) return parse(headOnly, true);
        }
    }

    // True when the server closed the connection (EOF) within the time-out, with nothing
    // more to read.
    bool closedByPeer() {
        while (fill()) {
        }
        return eof_ && buffer_.empty();
    }
    // Reads until the buffer holds at least n bytes; false when the peer closed or the
    // time-out passed first.
    bool readAtLeast(size_t n) {
        while (buffer_.size() < n) {
            if (!fill()) return false;
        }
        return true;
    }
    std::string& buffer() { return buffer_; }
    bool eof() const { return eof_; }
    int fd() const { return fd_; }

private:
    bool fill() {
        if (eof_) return false;
        if (!ssl_ || SSL_pending(ssl_) == 0) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs_) <= 0) return false;
        }
        char chunk[65536];
        if (ssl_) {
            size_t n = 0;
            if (SSL_read_ex(ssl_, chunk, sizeof chunk, &n) != 1) {
                eof_ = true;
                return false;
            }
            buffer_.append(chunk, n);
            return true;
        }
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    std::optional<Reply> parse(bool headOnly, bool atEnd = false) {
        const size_t headerEnd = buffer_.find("\r\n\r\n");
        if (headerEnd == std::string::npos) return std::nullopt;
        Reply reply;
        const std::string head = buffer_.substr(0, headerEnd);
        size_t lineEnd = head.find("\r\n");
        reply.statusLine = head.substr(0, lineEnd);
        if (reply.statusLine.size() >= 12) reply.status = std::atoi(reply.statusLine.c_str() + 9);
        while (lineEnd != std::string::npos) {
            const size_t next = head.find("\r\n", lineEnd + 2);
            const std::string line = head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
            const size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                size_t v = colon + 1;
                while (v < line.size() && line[v] == ' ') ++v;
                reply.headers[name] = line.substr(v);
            }
            lineEnd = next;
        }
        size_t pos = headerEnd + 4;
        if (headOnly) {
        } else if (reply.header("transfer-encoding") == "chunked") {
            for (;;) {
                const size_t sizeEnd = buffer_.find("\r\n", pos);
                if (sizeEnd == std::string::npos) return std::nullopt;
                const size_t size = std::strtoul(buffer_.c_str() + pos, nullptr, 16);
                if (size == 0) {
                    if (buffer_.size() < sizeEnd + 4) return std::nullopt;
                    pos = sizeEnd + 4;
                    break;
                }
                if (buffer_.size() < sizeEnd + 2 + size + 2) return std::nullopt;
                reply.body.append(buffer_, sizeEnd + 2, size);
                pos = sizeEnd + 2 + size + 2;
            }
        } else if (reply.has("content-length")) {
            const size_t length = std::stoul(reply.header("content-length"));
            if (buffer_.size() < pos + length) return std::nullopt;
            reply.body = buffer_.substr(pos, length);
            pos += length;
        } else if (!atEnd) {
            return std::nullopt;
        } else {
            reply.body = buffer_.substr(pos);
            pos = buffer_.size();
        }
        reply.raw = buffer_.substr(0, pos);
        buffer_.erase(0, pos);
        return reply;
    }

    int fd_ = -1;
    int timeoutMs_;
    bool connected_ = false;
    bool eof_ = false;
    std::string buffer_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

// A running server of TestConnections on 127.0.0.1 and an ephemeral port.
struct ServerFixture {
    explicit ServerFixture(HTTPConnectionTimeouts timeouts = {}) {
        behaviour() = std::make_shared<Behaviour>();
        server = HTTPServer::create();
        server->setConnectionClass<TestConnection>();
        server->setInterface(std::string("127.0.0.1"));
        server->setPort(0);
        server->setConnectionTimeouts(timeouts);
    }
    bool start() {
        started = server->start(&error);
        port = server->listeningPort();
        return started;
    }
    ~ServerFixture() {
        if (server) server->stop();
    }
    Behaviour& b() { return *behaviour(); }
    std::shared_ptr<Record> record() { return behaviour()->record; }

    // Waits until the server's list has n connections.
    bool waitForConnections(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (server->numberOfHTTPConnections() != n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::shared_ptr<HTTPServer> server;
    platform::Error error;
    bool started = false;
    uint16_t port = 0;
};

}  // namespace server_test
