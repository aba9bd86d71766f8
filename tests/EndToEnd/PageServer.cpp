#include "EndToEnd/PageServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <csignal>
#include <cstring>

namespace e2e {

namespace {

std::string reply(const std::string& status, const std::string& type, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

PageServer::PageServer(std::string certificateFile, std::string keyFile, std::string page)
    : certificateFile_(std::move(certificateFile)), keyFile_(std::move(keyFile)), page_(std::move(page)) {}

PageServer::~PageServer() {
    stop();
    if (context_) SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

bool PageServer::start(int port) {
    // The browser may close a connection before it has read the reply (a request it gave up);
    // the write must then fail, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    context_ = ctx;
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, certificateFile_.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
        error_ = "cannot load the site's certificate and key";
        return false;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0) {
        error_ = "cannot listen on 127.0.0.1 port " + std::to_string(port) + ": " + std::strerror(errno);
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
    return true;
}

void PageServer::stop() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers) w.join();
}

std::optional<std::string> PageServer::waitForResult(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    resultArrived_.wait_for(lock, limit, [this] { return result_.has_value(); });
    return result_;
}

void PageServer::acceptLoop() {
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void PageServer::serve(int fd) {
    // A connection the browser opened ahead and never used must not hold up stop().
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    SSL_set_fd(ssl, fd);
    std::string request;
    if (SSL_accept(ssl) == 1) {
        char buffer[4096];
        size_t headerEnd = std::string::npos;
        size_t wanted = 0;
        while (!stopping_) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) {
                const int e = SSL_get_error(ssl, n);
                if (e == SSL_ERROR_WANT_READ || (e == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK))) {
                    if (request.empty()) continue;  // an idle connection: wait for stop or data
                }
                break;
            }
            request.append(buffer, static_cast<size_t>(n));
            if (headerEnd == std::string::npos && (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
                std::string lower = request.substr(0, headerEnd);
                for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                const auto at = lower.find("\r\ncontent-length:");
                wanted = headerEnd + 4 + (at == std::string::npos ? 0 : std::stoul(lower.substr(at + 17)));
            }
            if (headerEnd != std::string::npos && request.size() >= wanted) break;
        }
        if (headerEnd != std::string::npos) {
            std::string out;
            if (request.rfind("GET / ", 0) == 0) {
                out = reply("200 OK", "text/html; charset=utf-8", page_);
            } else if (request.rfind("POST /result ", 0) == 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (!result_) result_ = request.substr(headerEnd + 4);
                }
                resultArrived_.notify_all();
                out = reply("200 OK", "text/plain", "ok");
            } else {
                out = reply("404 Not Found", "text/plain", "");
            }
            SSL_write(ssl, out.data(), static_cast<int>(out.size()));
            SSL_shutdown(ssl);
        }
    }
    SSL_free(ssl);
    ::close(fd);
}

}  // namespace e2e
