// A pellix HTTP server that answers every GET with the same small in-memory body, on a plain
// port and, given a key and certificate, on a TLS port. run-http-bench.sh drives it with wrk
// beside nginx. Runs until SIGINT or SIGTERM.
//
//     http_bench_server PLAIN_PORT [TLS_PORT KEY_PEM CERT_PEM]
//
// A port of 0 lets the system choose a free one. Once both servers listen it prints one line,
// "ready PLAIN_PORT TLS_PORT", with the ports they listen on (TLS_PORT 0 without TLS).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Core/HTTPConnection.h"
#include "Core/HTTPServer.h"
#include "Core/Responses/HTTPDataResponse.h"

namespace {

const char kBody[] = "Hello, world!";

std::shared_ptr<const HTTPDataResponse::Buffer> body() {
    static auto buffer = std::make_shared<const HTTPDataResponse::Buffer>(kBody, kBody + sizeof kBody - 1);
    return buffer;
}

std::optional<platform::TlsIdentity> gIdentity;

class PlainConnection : public HTTPConnection {
public:
    using HTTPConnection::HTTPConnection;
    std::shared_ptr<HTTPResponse> httpResponseForMethod(const std::string&, const std::string&) override {
        return std::make_shared<HTTPDataResponse>(body());
    }
};

class SecureConnection : public PlainConnection {
public:
    using PlainConnection::PlainConnection;
    bool isSecureServer() override { return true; }
    ServerIdentity sslIdentityAndCertificates() override {
        return gIdentity ? ServerIdentity::found(*gIdentity) : ServerIdentity::none();
    }
};

std::string readFile(const char* path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::shared_ptr<HTTPServer> startServer(uint16_t port, bool secure) {
    auto server = HTTPServer::create();
    if (secure) server->setConnectionClass<SecureConnection>();
    else server->setConnectionClass<PlainConnection>();
    server->setInterface(std::string("127.0.0.1"));
    server->setPort(port);
    platform::Error error;
    if (!server->start(&error)) {
        std::fprintf(stderr, "cannot listen on %u: %s\n", port, error.describe().c_str());
        std::exit(1);
    }
    return server;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "usage: %s PLAIN_PORT [TLS_PORT KEY_PEM CERT_PEM]\n", argv[0]);
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto plain = startServer(static_cast<uint16_t>(std::atoi(argv[1])), false);
    std::shared_ptr<HTTPServer> secure;
    if (argc == 5) {
        gIdentity = platform::TlsIdentity::fromPem(readFile(argv[3]), readFile(argv[4]));
        if (!gIdentity) {
            std::fprintf(stderr, "cannot read the identity\n");
            return 1;
        }
        secure = startServer(static_cast<uint16_t>(std::atoi(argv[2])), true);
    }
    std::printf("ready %u %u\n", static_cast<unsigned>(plain->listeningPort()),
                static_cast<unsigned>(secure ? secure->listeningPort() : 0));
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    return 0;
}
