#include "Platform/UrlLoading/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "Platform/Tls/TestIdentity.h"

namespace pellix_test {

namespace {

// A fresh authority identity for 127.0.0.1: the server's certificate and key, and the
// certificate written to pemPath for the clients to trust.
void makeCertificate(SSL_CTX* ctx, const std::string& pemPath) {
    const testing_tls::PemPair pems = testing_tls::makeSelfSigned("ec", 24 * 3600, true);
    if (!(std::ofstream(pemPath) << pems.certificatePem)) throw std::runtime_error("pem");
    if (SSL_CTX_use_certificate_file(ctx, pemPath.c_str(), SSL_FILETYPE_PEM) != 1) throw std::runtime_error("certificate");
    BIO* bio = BIO_new_mem_buf(pems.keyPem.data(), static_cast<int>(pems.keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    const bool used = key && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!used) throw std::runtime_error("key");
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(bool tls, Handler handler) : tls_(tls), handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0)
        throw std::runtime_error("listen");
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (tls_) {
        char templ[] = "/tmp/pellix-test-cert-XXXXXX";
        if (!::mkdtemp(templ)) throw std::runtime_error("mkdtemp");
        tempDir_ = templ;
        certFile_ = tempDir_ + "/cert.pem";
        ctx_ = SSL_CTX_new(TLS_server_method());
        makeCertificate(ctx_, certFile_);
    }
    thread_ = std::thread([this] { run(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stop();
    if (ctx_) SSL_CTX_free(ctx_);
    if (!tempDir_.empty()) std::filesystem::remove_all(tempDir_);
}

std::string LoopbackHttpServer::baseUrl() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackHttpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void LoopbackHttpServer::run() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                ::close(fd);
                return;
            }
            openFds_.push_back(fd);
        }
        serve(fd);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::erase(openFds_, fd);
        }
        ::close(fd);
    }
}

void LoopbackHttpServer::serve(int fd) {
    SSL* ssl = nullptr;
    if (tls_) {
        ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            return;
        }
    }
    auto readSome = [&](char* buf, int n) { return ssl ? SSL_read(ssl, buf, n) : static_cast<int>(::read(fd, buf, static_cast<size_t>(n))); };
    auto writeAll = [&](const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            int w = ssl ? SSL_write(ssl, s.data() + off, static_cast<int>(s.size() - off))
                        : static_cast<int>(::write(fd, s.data() + off, s.size() - off));
            if (w <= 0) return;
            off += static_cast<size_t>(w);
        }
    };
    std::string in;
    char buf[4096];
    while (in.find("\r\n\r\n") == std::string::npos && in.size() < 65536) {
        int r = readSome(buf, sizeof buf);
        if (r <= 0) break;
        in.append(buf, static_cast<size_t>(r));
    }
    size_t end = in.find("\r\n\r\n");
    if (end != std::string::npos) {
        RecordedRequest req;
        std::string head = in.substr(0, end);
        size_t lineEnd = head.find("\r\n");
        std::string requestLine = head.substr(0, lineEnd);
        size_t sp1 = requestLine.find(' '), sp2 = requestLine.rfind(' ');
        req.method = requestLine.substr(0, sp1);
        if (sp1 != std::string::npos && sp2 > sp1) req.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (pos < head.size()) {
            size_t e = head.find("\r\n", pos);
            if (e == std::string::npos) e = head.size();
            std::string line = head.substr(pos, e - pos);
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string value = line.substr(colon + 1);
                value.erase(0, value.find_first_not_of(' '));
                req.headers[lower(line.substr(0, colon))].push_back(value);
            }
            pos = e + 2;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(req);
        }
        CannedReply reply = handler_(req);
        if (reply.hang) {
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_.wait(lock, [&] { return stopping_; });
        } else {
            std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\n";
            if (!reply.contentType.empty()) out += "Content-Type: " + reply.contentType + "\r\n";
            for (const auto& h : reply.extraHeaders) out += h + "\r\n";
            out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" + reply.body;
            writeAll(out);
        }
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
}

}  // namespace pellix_test
