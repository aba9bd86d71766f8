// pellix measured from outside, each figure against its baseline or target in the same run:
//
//   start to listening       median of several starts, against the 50 ms target
//   idle resident memory     after start, and after the identity and the card manager exist,
//                            against the 16 MiB target
//   requests per second      wrk over HTTPS keep-alive: POST /scard/version and
//                            POST /scard/apdu/{reader} with one APDU on the virtual card
//   one APDU                 through pellix (HTTPS keep-alive, one session) against the same
//                            APDU sent directly with SCardTransmit, against the 1 ms target
//   declared bodies          resident memory per connection of 300 HTTPS connections that each
//                            declare a body of 100000000 bytes and send none, against the
//                            150 KiB target
//
// Usage: e2e_bench [--seconds N] [--apdus N]. Needs pcscd with the vpcd readers, wrk on the
// PATH and port 31505 free.
#include <PCSC/winscard.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EndToEnd/HttpsClient.h"
#include "EndToEnd/PellixProcess.h"
#include "tools/LoopbackClient.h"
#include "tools/VirtualCard.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kReader = "Virtual PCD 00 00";
constexpr const char* kReaderPath = "Virtual%20PCD%2000%2000";
const std::vector<uint8_t> kApdu = {0x00, 0xB0, 0x00, 0x00, 0x04};
constexpr const char* kApduText = "00B0000004";

double kib(const std::string& field, pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::atof(line.c_str() + field.size() + 1);
    }
    return 0;
}

struct Stats {
    double median = 0, p99 = 0;
};

Stats stats(std::vector<double> us) {
    Stats s;
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    s.median = us[us.size() / 2];
    s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return s;
}

std::string apduBody() {
    return std::string(R"({"apducommands":[{"apdu":")") + kApduText + R"("}],"session":"bench","timeout":300})";
}

// Runs wrk with a script that posts the body; the requests per second it reports, or 0.
double wrk(const std::string& dir, const std::string& target, const std::string& body, int seconds) {
    const std::string script = dir + "/post.lua";
    std::ofstream(script) << "wrk.method = \"POST\"\n"
                          << "wrk.body = '" << body << "'\n"
                          << "wrk.headers[\"Origin\"] = \"" << e2e::kAllowedOrigin << "\"\n";
    const std::string command = "wrk -t2 -c8 -d" + std::to_string(seconds) + "s -s " + script +
                                " https://localhost:31505" + target + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return 0;
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::pclose(pipe);
    const auto at = output.find("Requests/sec:");
    if (at == std::string::npos) {
        std::fprintf(stderr, "wrk said:\n%s\n", output.c_str());
        return 0;
    }
    if (output.find("Non-2xx") != std::string::npos || output.find("Socket errors") != std::string::npos) {
        std::fprintf(stderr, "wrk reported errors:\n%s\n", output.c_str());
    }
    return std::atof(output.c_str() + at + 13);
}

// The same APDU sent straight to the card with PC/SC, in one connection, as pellix's session does.
std::vector<double> direct(int count) {
    std::vector<double> us;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return us;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardConnect(context, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) ==
        SCARD_S_SUCCESS) {
        const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        for (int i = 0; i < count; ++i) {
            uint8_t reply[258];
            DWORD length = sizeof reply;
            const auto start = Clock::now();
            const LONG rv = SCardTransmit(card, pci, kApdu.data(), static_cast<DWORD>(kApdu.size()), nullptr, reply, &length);
            const auto end = Clock::now();
            if (rv != SCARD_S_SUCCESS) break;
            us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    SCardReleaseContext(context);
    return us;
}

// Resident memory per connection, in KiB, of count HTTPS connections that each send a request
// header declaring a body of 100000000 bytes and then nothing: what a peer's words alone make
// pellix hold. The connections stay open until the figure is taken.
double kibPerDeclaredBody(pid_t pid, int count) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) return 0;
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    const std::string head = std::string("POST /scard/version HTTP/1.1\r\nHost: localhost:31505\r\nOrigin: ") +
                             e2e::kAllowedOrigin + "\r\nContent-Type: application/json\r\nContent-Length: 100000000\r\n\r\n";
    const double before = kib("VmRSS", pid);
    std::vector<std::pair<int, SSL*>> connections;
    for (int i = 0; i < count; ++i) {
        const int fd = testtools::connectClient(e2e::kPort);
        if (fd < 0) break;
        SSL* ssl = SSL_new(context);
        if (!ssl) {
            ::close(fd);
            break;
        }
        connections.emplace_back(fd, ssl);
        SSL_set_fd(ssl, fd);
        size_t written = 0;
        if (SSL_connect(ssl) != 1 || SSL_write_ex(ssl, head.data(), head.size(), &written) != 1) break;
    }
    std::this_thread::sleep_for(2s);
    const double after = kib("VmRSS", pid);
    const bool all = static_cast<int>(connections.size()) == count;
    for (auto& [fd, ssl] : connections) {
        SSL_free(ssl);
        ::close(fd);
    }
    SSL_CTX_free(context);
    ERR_clear_error();
    if (!all) {
        std::fprintf(stderr, "only %zu of %d connections with a declared body were made\n", connections.size(), count);
        return 0;
    }
    return (after - before) / count;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 5, apdus = 500;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--apdus") == 0) apdus = std::atoi(argv[i + 1]);
    }

    // Start to listening: a fresh home each time (nothing is provisioned before a connection).
    std::vector<double> starts;
    double rssAtStart = 0;
    for (int i = 0; i < 7; ++i) {
        e2e::PellixProcess p;
        if (!p.start()) {
            std::fprintf(stderr, "pellix did not start: %s\n", p.error().c_str());
            return 1;
        }
        starts.push_back(static_cast<double>(p.startToListening().count()));
        std::this_thread::sleep_for(200ms);
        rssAtStart = std::max(rssAtStart, kib("VmRSS", p.pid()));
        p.stop();
    }
    const Stats start = stats(starts);

    testcard::VirtualCard card(testcard::VirtualCard::kFirstReaderPort);
    card.setHandler([](const testcard::Bytes&) { return testcard::Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00}; });
    if (!card.insert()) {
        std::fprintf(stderr, "the virtual card could not be inserted: is pcscd with vsmartcard-vpcd running?\n");
        return 1;
    }

    e2e::PellixProcess pellix;
    if (!pellix.start()) {
        std::fprintf(stderr, "pellix did not start: %s\n", pellix.error().c_str());
        return 1;
    }
    e2e::HttpsClient first(e2e::HttpsClient::Options::anyCertificate());
    first.get("/");
    const auto certificate = pellix.certificateFile();
    if (!certificate) {
        std::fprintf(stderr, "pellix made no certificate\n");
        return 1;
    }
    e2e::HttpsClient client(e2e::HttpsClient::Options::trusting(*certificate));
    // Wait for the card to be listed, then warm the session up.
    for (int i = 0; i < 200; ++i) {
        const auto list = client.post("/scard/list");
        if (list.body.find("\"cardstatus\" : 302") != std::string::npos ||
            list.body.find("\"cardstatus\":302") != std::string::npos)
            break;
        std::this_thread::sleep_for(50ms);
    }
    const auto warm = client.post(std::string("/scard/apdu/") + kReaderPath, apduBody());
    if (warm.body.find("DEADBEEF9000") == std::string::npos) {
        std::fprintf(stderr, "the APDU through pellix failed: %ld %s\n", warm.status, warm.body.c_str());
        return 1;
    }

    std::this_thread::sleep_for(1s);
    const double rssIdle = kib("VmRSS", pellix.pid());

    // One APDU, alternating the two paths in rounds so that drift hits both alike.
    std::vector<double> through, straight;
    for (int round = 0; round < 5; ++round) {
        // The first APDU of a round opens the card session again; it is not counted.
        client.post(std::string("/scard/apdu/") + kReaderPath, apduBody());
        for (int i = 0; i < apdus / 5; ++i) {
            const auto t0 = Clock::now();
            const auto r = client.post(std::string("/scard/apdu/") + kReaderPath, apduBody());
            const auto t1 = Clock::now();
            if (r.status != 200) break;
            through.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        // pellix's card session holds the card; ending it lets the direct connection in.
        client.post("/scard/disconnect", R"({"session":"bench"})");
        const auto d = direct(apdus / 5);
        straight.insert(straight.end(), d.begin(), d.end());
    }
    const Stats viaPellix = stats(through), viaPcsc = stats(straight);

    client.post(std::string("/scard/apdu/") + kReaderPath, apduBody());
    const double versionRps = wrk(pellix.root(), "/scard/version", "{}", seconds);
    const double apduRps = wrk(pellix.root(), std::string("/scard/apdu/") + kReaderPath, apduBody(), seconds);
    const double rssAfterLoad = kib("VmRSS", pellix.pid());
    const double rssPeak = kib("VmHWM", pellix.pid());
    constexpr int kDeclaredBodies = 300;
    const double declaredBody = kibPerDeclaredBody(pellix.pid(), kDeclaredBodies);

    std::printf("start to listening      median %8.1f ms  p99 %6.1f ms   target 50 ms      ratio %.2f\n",
                start.median / 1000, start.p99 / 1000, start.median / 1000 / 50);
    std::printf("resident memory         at start %6.1f MiB, idle after use %6.1f MiB, after load %6.1f MiB, peak %6.1f MiB"
                "   target 16 MiB   ratio %.2f\n",
                rssAtStart / 1024, rssIdle / 1024, rssAfterLoad / 1024, rssPeak / 1024, rssIdle / 1024 / 16);
    std::printf("one APDU through pellix median %8.1f us  p99 %8.1f us  (%zu)\n", viaPellix.median, viaPellix.p99,
                through.size());
    std::printf("one APDU with PC/SC     median %8.1f us  p99 %8.1f us  (%zu)\n", viaPcsc.median, viaPcsc.p99,
                straight.size());
    std::printf("pellix adds             %8.1f us per APDU   target 1000 us   ratio pellix/PC/SC %.2f\n",
                viaPellix.median - viaPcsc.median, viaPcsc.median > 0 ? viaPellix.median / viaPcsc.median : 0.0);
    std::printf("wrk, 2 threads 8 connections, %d s each:\n", seconds);
    std::printf("  POST /scard/version   %10.1f requests/s\n", versionRps);
    std::printf("  POST /scard/apdu      %10.1f requests/s   ratio apdu/version %.3f\n", apduRps,
                versionRps > 0 ? apduRps / versionRps : 0.0);
    std::printf("declared bodies         %8.1f KiB per connection (%d HTTPS connections, 100000000 bytes declared, none sent)"
                "   target 150 KiB   ratio %.2f\n",
                declaredBody, kDeclaredBodies, declaredBody / 150);
    pellix.stop();
    card.remove();
    return 0;
}
