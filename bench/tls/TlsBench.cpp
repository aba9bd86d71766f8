// TLS over loopback: full handshakes per second (no resumption) and bulk download throughput
// from an AsyncSocket TLS server, against `openssl s_server` with the same RSA-2048 key and
// certificate in the same run. One libssl client drives both; the ratios are printed last.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AsyncSocket/AsyncSocket.h"
#include "Platform/Tls/TestIdentity.h"
#include "tools/LoopbackClient.h"

extern char** environ;

namespace {

constexpr size_t kBulkSize = 64u << 20;
constexpr auto kHandshakeTime = std::chrono::milliseconds(2000);
constexpr int kBulkRounds = 3;

const testing_tls::PemPair& rsaPems() {
    static const testing_tls::PemPair pems = testing_tls::makeSelfSigned("rsa", 3600);
    return pems;
}

SSL_CTX* clientContext() {
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(c, SSL_OP_NO_TICKET);
        return c;
    }();
    return ctx;
}

// One full handshake; true when it completed.
bool handshakeOnce(uint16_t port) {
    const int fd = testtools::connectClient(port);
    if (fd < 0) return false;
    SSL* ssl = SSL_new(clientContext());
    SSL_set_fd(ssl, fd);
    const bool ok = SSL_connect(ssl) == 1;
    if (ok) SSL_shutdown(ssl);
    SSL_free(ssl);
    ::close(fd);
    ERR_clear_error();
    return ok;
}

// Downloads the bulk body; returns the bytes received after the header.
size_t downloadOnce(uint16_t port) {
    const int fd = testtools::connectClient(port);
    if (fd < 0) return 0;
    SSL* ssl = SSL_new(clientContext());
    SSL_set_fd(ssl, fd);
    size_t total = 0;
    if (SSL_connect(ssl) == 1) {
        const std::string request = "GET /bulk.bin HTTP/1.0\r\n\r\n";
        size_t n = 0;
        SSL_write_ex(ssl, request.data(), request.size(), &n);
        std::vector<char> buffer(1 << 16);
        while (SSL_read_ex(ssl, buffer.data(), buffer.size(), &n) == 1) total += n;
    }
    SSL_free(ssl);
    ::close(fd);
    ERR_clear_error();
    return total;
}

std::map<std::string, double> g_results;

class TlsServerDelegate : public AsyncSocketDelegate {
public:
    explicit TlsServerDelegate(platform::TlsIdentity identity)
        : identity_(std::move(identity)),
          response_(std::make_shared<const ByteBuffer>(makeResponse())) {}

    bool respondsTo(Call call) const override {
        return call == Call::DidAcceptNewSocket || call == Call::DidReadData || call == Call::DidDisconnect;
    }
    void didAcceptNewSocket(const std::shared_ptr<AsyncSocket>&, const std::shared_ptr<AsyncSocket>& sock) override {
        {
            std::lock_guard lock(mutex_);
            sockets_.push_back(sock);
        }
        TlsSettings settings;
        settings.isServer = true;
        settings.certificates = identity_;
        settings.level = TlsSettings::kLevelNegotiatedSSL;
        sock->startTLS(settings);
        sock->readDataToData(ByteBuffer{'\r', '\n', '\r', '\n'}, -1, 0);
    }
    void didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData&, long) override {
        sock->writeData(response_, -1, 1);
        sock->disconnectAfterWriting();
    }
    void socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>&) override {
        std::lock_guard lock(mutex_);
        std::erase(sockets_, sock);
    }
    void disconnectAll() {
        std::vector<std::shared_ptr<AsyncSocket>> all;
        {
            std::lock_guard lock(mutex_);
            all.swap(sockets_);
        }
        for (auto& s : all) s->disconnect();
    }

private:
    static ByteBuffer makeResponse() {
        const std::string header = "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\n";
        ByteBuffer body(header.begin(), header.end());
        body.resize(header.size() + kBulkSize, 'b');
        return body;
    }

    platform::TlsIdentity identity_;
    std::shared_ptr<const ByteBuffer> response_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<AsyncSocket>> sockets_;
};

struct Server {
    uint16_t port = 0;
    std::function<void()> stop;
};

Server startAsyncServer() {
    auto identity = platform::TlsIdentity::fromPem(rsaPems().keyPem, rsaPems().certificatePem);
    auto delegate = std::make_shared<TlsServerDelegate>(*identity);
    auto queue = platform::DispatchQueue::createSerial("bench.connections");
    auto listener = AsyncSocket::create(delegate, queue);
    listener->acceptOnInterface(std::string("127.0.0.1"), 0);
    return {listener->localPort(), [delegate, listener] {
                listener->disconnect();
                delegate->disconnectAll();
            }};
}

Server startOpensslServer() {
    char dirTemplate[] = "/tmp/pellix-tls-bench-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    std::ofstream(dir + "/key.pem") << rsaPems().keyPem;
    std::ofstream(dir + "/cert.pem") << rsaPems().certificatePem;
    {
        std::ofstream bulk(dir + "/bulk.bin", std::ios::binary);
        const std::string chunk(1 << 20, 'b');
        for (size_t i = 0; i < kBulkSize / chunk.size(); ++i) bulk << chunk;
    }
    // A port for s_server.
    const uint16_t port = testtools::freePort();

    const std::string portText = std::to_string(port);
    std::vector<std::string> args = {"openssl", "s_server", "-quiet", "-accept", "127.0.0.1:" + portText,
                                     "-cert", dir + "/cert.pem", "-key", dir + "/key.pem", "-WWW"};
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = -1;
    if (posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 100 && pid > 0; ++i) {
        const int fd = testtools::connectClient(port);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {pid > 0 ? port : uint16_t{0}, [pid, dir] {
                if (pid > 0) {
                    ::kill(pid, SIGTERM);
                    ::waitpid(pid, nullptr, 0);
                }
                std::remove((dir + "/key.pem").c_str());
                std::remove((dir + "/cert.pem").c_str());
                std::remove((dir + "/bulk.bin").c_str());
                ::rmdir(dir.c_str());
            }};
}

void runHandshakes(benchmark::State& state, const std::string& name, Server server) {
    if (server.port == 0) {
        state.SkipWithError("server did not start");
        return;
    }
    uint64_t done = 0;
    for (auto _ : state) {
        const auto end = std::chrono::steady_clock::now() + kHandshakeTime;
        while (std::chrono::steady_clock::now() < end) done += handshakeOnce(server.port) ? 1 : 0;
    }
    server.stop();
    const double rate = static_cast<double>(done) / std::chrono::duration<double>(kHandshakeTime).count();
    state.counters["handshakes_per_s"] = rate;
    g_results["handshake/" + name] = rate;
}

void runBulk(benchmark::State& state, const std::string& name, Server server) {
    if (server.port == 0) {
        state.SkipWithError("server did not start");
        return;
    }
    size_t bytes = 0;
    double seconds = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBulkRounds; ++i) {
            const auto start = std::chrono::steady_clock::now();
            bytes += downloadOnce(server.port);
            seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    server.stop();
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
    state.counters["MB_per_s"] = rate;
    g_results["bulk/" + name] = rate;
}

void BM_HandshakeOpensslServer(benchmark::State& state) { runHandshakes(state, "openssl", startOpensslServer()); }
void BM_HandshakeAsyncSocket(benchmark::State& state) { runHandshakes(state, "async", startAsyncServer()); }
void BM_BulkOpensslServer(benchmark::State& state) { runBulk(state, "openssl", startOpensslServer()); }
void BM_BulkAsyncSocket(benchmark::State& state) { runBulk(state, "async", startAsyncServer()); }

BENCHMARK(BM_HandshakeOpensslServer)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandshakeAsyncSocket)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkOpensslServer)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkAsyncSocket)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto ratio = [](const char* kind, const char* unit, double target) {
        const auto async = g_results.find(std::string(kind) + "/async");
        const auto openssl = g_results.find(std::string(kind) + "/openssl");
        if (async == g_results.end() || openssl == g_results.end() || openssl->second <= 0) return;
        std::printf("%s: AsyncSocket %.1f %s, openssl s_server %.1f %s, ratio %.2f (target >= %.2f)\n", kind, async->second,
                    unit, openssl->second, unit, async->second / openssl->second, target);
    };
    ratio("handshake", "handshakes/s", 0.8);
    ratio("bulk", "MB/s", 0.5);
    return 0;
}
