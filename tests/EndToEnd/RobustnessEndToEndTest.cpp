// The running program under clients that misbehave or crowd in: many connections at once,
// a plain-HTTP client on the TLS port, a client that leaves in the middle of the handshake,
// chunked and oversized requests. After each, pellix must still answer.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "EndToEnd/E2eFixture.h"

namespace e2e {
namespace {

using nlohmann::json;

class RobustnessTest : public PellixTest {
protected:
    void expectStillServing() {
        const HttpReply reply = connect()->post("/scard/version");
        EXPECT_EQ(reply.status, 200) << reply.error;
        EXPECT_EQ(json::parse(reply.body, nullptr, false), json({{"version", "1.4.0"}})) << reply.body;
    }
};

TEST_F(RobustnessTest, ServesManyConnectionsAtOnce) {
    constexpr int kClients = 16, kRequests = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            auto client = connect(c % 2 ? "::1" : "127.0.0.1");
            for (int i = 0; i < kRequests; ++i) {
                const HttpReply reply = (i % 3 == 0) ? client->get("/") : client->post("/scard/version");
                if (reply.status == 200 && !reply.body.empty()) ++good;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), kClients * kRequests);
    expectStillServing();
}

TEST_F(RobustnessTest, SurvivesClientsThatBreakTheRules) {
    {
        SCOPED_TRACE("plain HTTP on the TLS port");
        const int fd = rawConnection();
        ASSERT_GE(fd, 0);
        const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
        ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        // Whatever comes back, it is not the page in clear.
        EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0).find("certificate is valid"), std::string::npos);
        ::close(fd);
        expectStillServing();
    }
    {
        SCOPED_TRACE("a client that leaves in the middle of the handshake");
        for (int i = 0; i < 5; ++i) {
            const int fd = rawConnection();
            ASSERT_GE(fd, 0);
            // The first bytes of a TLS ClientHello record, then nothing.
            const unsigned char hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03};
            ASSERT_EQ(::write(fd, hello, sizeof hello), static_cast<ssize_t>(sizeof hello));
            ::close(fd);
        }
        const int idle = rawConnection();  // one that sends nothing at all, kept open
        ASSERT_GE(idle, 0);
        expectStillServing();
        ::close(idle);
    }
    {
        SCOPED_TRACE("a chunked request body");
        auto client = connect();
        HttpRequest request("POST", "/scard/storedoc", R"({"document":"0A0B0C"})",
                            {std::string("Origin: ") + kAllowedOrigin, "Transfer-Encoding: chunked"});
        const HttpReply reply = client->send(request);
        EXPECT_EQ(reply.status, 200) << reply.error;
        EXPECT_EQ(json::parse(reply.body, nullptr, false).value("errorcode", -1), 0) << reply.body;
    }
    {
        SCOPED_TRACE("a header line longer than the limit");
        auto client = connect();
        const HttpReply reply = client->get("/", {"X-Long: " + std::string(9000, 'a')});
        EXPECT_NE(reply.status, 200);
        expectStillServing();
    }
    {
        SCOPED_TRACE("more header lines than the limit");
        std::vector<std::string> many;
        for (int i = 0; i < 120; ++i) many.push_back("X-Line-" + std::to_string(i) + ": x");
        const HttpReply reply = connect()->get("/", many);
        EXPECT_NE(reply.status, 200);
        expectStillServing();
    }
    {
        SCOPED_TRACE("bodies that are not what the API expects");
        auto client = connect();
        for (const std::string body : {"", "not json", "[1,2,3]", "{\"apducommands\":7}",
                                       "{\"apducommands\":[1,null,{\"apdu\":5}],\"timeout\":\"x\",\"session\":[]}"}) {
            SCOPED_TRACE(body);
            const HttpReply reply = client->post("/scard/apdu/Nothing", body);
            EXPECT_EQ(reply.status, 200) << reply.error;
            const json parsed = json::parse(reply.body, nullptr, false);
            EXPECT_EQ(parsed.value("apduresponses", json()), json::array()) << reply.body;
        }
        expectStillServing();
    }
}

// The processor time the process has used so far, in seconds (from /proc/PID/stat).
double processorSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold spaces: state is field 3, utime 14.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long userTicks = 0, systemTicks = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) userTicks = std::stoull(field);
        if (n == 15) systemTicks = std::stoull(field);
    }
    return static_cast<double>(userTicks + systemTicks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A crowd of connections larger than pellix's descriptors waits in the listen backlog: pellix
// idles meanwhile instead of spinning on accepts that fail, and serves HTTPS again as soon as
// the crowd has gone.
TEST(DescriptorLimitTest, RegressionACrowdLargerThanTheDescriptorLimitWaitsWithoutSpinning) {
    PellixProcess pellix;
    pellix.setDescriptorLimit(64);
    ASSERT_TRUE(pellix.start()) << pellix.error();
    {
        HttpsClient first(HttpsClient::Options::anyCertificate());
        ASSERT_EQ(first.get("/").status, 200) << pellix.standardError();
    }

    std::vector<int> crowd;
    for (int i = 0; i < 150; ++i) {
        const int fd = rawConnection();
        if (fd >= 0) crowd.push_back(fd);
    }
    EXPECT_EQ(crowd.size(), 150u);
    // pellix has taken what it can of the crowd once its descriptors stay as they are for a
    // while: the accepts, lookups and TLS starts of the connections it took are behind it.
    const auto descriptors = [&] {
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(pellix.pid()) + "/fd", std::filesystem::directory_options::skip_permission_denied))
            ++n;
        return n;
    };
    size_t seen = descriptors();
    auto steadySince = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] {
        const size_t now = descriptors();
        if (now != seen) {
            seen = now;
            steadySince = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - steadySince >= std::chrono::milliseconds(300);
    }))
        << "descriptors still changing: " << seen;
    const double before = processorSeconds(pellix.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double used = processorSeconds(pellix.pid()) - before;
    // A listener that spins on its backlog takes the whole two seconds.
    EXPECT_LT(used, 0.5) << "processor seconds in 2 s: " << used;
    for (int fd : crowd) ::close(fd);

    EXPECT_TRUE(eventually([&] {
        HttpsClient::Options options = HttpsClient::Options::anyCertificate();
        options.timeoutMs = 2000;
        HttpsClient client(options);
        return client.get("/").status == 200;
    }))
        << pellix.standardError();
    EXPECT_TRUE(pellix.running());
}

}  // namespace
}  // namespace e2e
