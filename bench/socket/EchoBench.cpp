// Line echo over loopback: an AsyncSocket server (read to CRLF, write the line back, every
// connection's delegate calls on one shared queue, as the HTTP connections have) against a
// plain epoll loop on one thread, with 1 and 64 concurrent clients. Prints requests per second
// of each and their ratio, and the threads the process used.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AsyncSocket/AsyncSocket.h"
#include "Platform/ThreadInfo.h"
#include "tools/LoopbackClient.h"

namespace {

constexpr auto kRunTime = std::chrono::milliseconds(1500);
const std::string kRequest = std::string(62, 'p') + "\r\n";

size_t processThreads() {
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// Runs `clients` blocking clients, each sending a line and waiting for its echo, for kRunTime.
// Returns the requests completed and the peak thread count seen.
std::pair<uint64_t, size_t> runClients(uint16_t port, int clients) {
    std::atomic<uint64_t> total{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            const int fd = testtools::connectClient(port);
            if (fd < 0) return;
            char buffer[256];
            uint64_t done = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                if (::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kRequest.size())) break;
                size_t got = 0;
                while (got < kRequest.size()) {
                    const ssize_t n = ::recv(fd, buffer + got, sizeof buffer - got, 0);
                    if (n <= 0) break;
                    got += static_cast<size_t>(n);
                }
                if (got < kRequest.size()) break;
                ++done;
            }
            total += done;
            ::close(fd);
        });
    }
    size_t peak = 0;
    const auto end = std::chrono::steady_clock::now() + kRunTime;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peak = std::max(peak, processThreads());
    }
    stop = true;
    for (auto& t : threads) t.join();
    // The client threads themselves are not the server's.
    return {total.load(), peak > static_cast<size_t>(clients) + 1 ? peak - clients - 1 : 0};
}

class EchoDelegate : public AsyncSocketDelegate {
public:
    bool respondsTo(Call call) const override {
        return call == Call::DidAcceptNewSocket || call == Call::DidReadData || call == Call::DidDisconnect;
    }
    void didAcceptNewSocket(const std::shared_ptr<AsyncSocket>&, const std::shared_ptr<AsyncSocket>& newSocket) override {
        {
            std::lock_guard lock(mutex_);
            sockets_.push_back(newSocket);
        }
        newSocket->readDataToData(AsyncSocket::CRLFData(), -1, 0);
    }
    void didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData& data, long) override {
        if (data.offset() == 0 && data.buffer()->size() == data.size()) {
            sock->writeData(data.buffer(), -1, 0);  // the read's own buffer, no copy
        } else {
            sock->writeData(data.bytes(), -1, 0);
        }
        sock->readDataToData(AsyncSocket::CRLFData(), -1, 0);
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
    std::mutex mutex_;
    std::vector<std::shared_ptr<AsyncSocket>> sockets_;
};

std::map<std::string, double> g_rates;
std::mutex g_ratesMutex;

void record(const std::string& name, double rate) {
    std::lock_guard lock(g_ratesMutex);
    g_rates[name] = rate;
}

void BM_AsyncSocketEcho(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    auto delegate = std::make_shared<EchoDelegate>();
    auto queue = platform::DispatchQueue::createSerial("bench.connections");
    auto listener = AsyncSocket::create(delegate, queue);
    platform::Error error;
    if (!listener->acceptOnInterface(std::string("127.0.0.1"), 0, &error)) {
        state.SkipWithError(error.describe().c_str());
        return;
    }
    const uint16_t port = listener->localPort();
    uint64_t requests = 0;
    size_t threads = 0;
    for (auto _ : state) {
        auto [n, t] = runClients(port, clients);
        requests += n;
        threads = t;
    }
    listener->disconnect();
    delegate->disconnectAll();
    const double rate = static_cast<double>(requests) / std::chrono::duration<double>(kRunTime).count();
    state.counters["req_per_s"] = rate;
    state.counters["server_threads"] = static_cast<double>(threads);
    state.counters["pool_limit"] = static_cast<double>(platform::processorCount());
    record("async/" + std::to_string(clients), rate);
}

void BM_EpollEcho(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    const int listenFD = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(listenFD, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFD, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFD, 1024);
    socklen_t len = sizeof a;
    ::getsockname(listenFD, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);

    std::atomic<bool> stop{false};
    std::thread loop([&] {
        const int ep = epoll_create1(0);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = listenFD;
        epoll_ctl(ep, EPOLL_CTL_ADD, listenFD, &ev);
        std::map<int, std::string> pending;
        epoll_event events[128];
        char buffer[4096];
        while (!stop) {
            const int n = epoll_wait(ep, events, 128, 50);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == listenFD) {
                    int c;
                    while ((c = ::accept4(listenFD, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                        epoll_event cev{};
                        cev.events = EPOLLIN;
                        cev.data.fd = c;
                        epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                    }
                    continue;
                }
                const ssize_t r = ::read(fd, buffer, sizeof buffer);
                if (r <= 0) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                    ::close(fd);
                    pending.erase(fd);
                    continue;
                }
                std::string& line = pending[fd];
                line.append(buffer, static_cast<size_t>(r));
                size_t pos;
                while ((pos = line.find("\r\n")) != std::string::npos) {
                    ::send(fd, line.data(), pos + 2, MSG_NOSIGNAL);
                    line.erase(0, pos + 2);
                }
            }
        }
        for (auto& [fd, _] : pending) ::close(fd);
        ::close(ep);
    });
    uint64_t requests = 0;
    for (auto _ : state) requests += runClients(port, clients).first;
    stop = true;
    loop.join();
    ::close(listenFD);
    const double rate = static_cast<double>(requests) / std::chrono::duration<double>(kRunTime).count();
    state.counters["req_per_s"] = rate;
    record("epoll/" + std::to_string(clients), rate);
}

BENCHMARK(BM_EpollEcho)->Arg(1)->Arg(64)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AsyncSocketEcho)->Arg(1)->Arg(64)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* clients : {"1", "64"}) {
        const auto async = g_rates.find(std::string("async/") + clients);
        const auto epoll = g_rates.find(std::string("epoll/") + clients);
        if (async == g_rates.end() || epoll == g_rates.end() || epoll->second <= 0) continue;
        std::printf("echo, %2s clients: AsyncSocket %.0f req/s, epoll %.0f req/s, ratio %.2f (target >= 0.50)\n", clients,
                    async->second, epoll->second, async->second / epoll->second);
    }
    return 0;
}
