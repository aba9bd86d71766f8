#include "Core/HTTPAuthenticationRequest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

#include "Core/Categories/LxData.h"
#include "Core/HTTPConnection.h"
#include "Core/HTTPServer.h"
#include "Core/HTTPServerTestSupport.h"
#include "Core/RealClients.h"
#include "tools/ScratchDirectory.h"
#include "Core/Responses/HTTPDataResponse.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Keychain/Subprocess.h"

namespace {

using server_test::Client;
using server_test::Reply;

// ----- The field parser ------------------------------------------------------------------------

struct FieldCase {
    const char* name;
    std::optional<std::string> field;
    bool basic;
    bool digest;
    std::optional<std::string> credentials = {}, username = {}, realm = {}, nonce = {}, uri = {}, qop = {}, nc = {},
                               cnonce = {}, response = {};
};

const FieldCase kFieldCases[] = {
    {"no field", std::nullopt, false, false},
    {"curl's digest field",
     R"(Digest username="user", realm="pellix test", nonce="N-1", uri="/secret/a", cnonce="C1", nc=00000001, qop=auth, response="abc", algorithm=MD5)",
     false, true, std::nullopt, "user", "pellix test", "N-1", "/secret/a", "auth", "00000001", "C1", "abc"},
    {"python's digest field: qop and nc last but one, cnonce last",
     R"(Digest username="user", realm="r", nonce="N", uri="/s?x=1", response="abc", algorithm="MD5", qop=auth, nc=00000002, cnonce="c")",
     false, true, std::nullopt, "user", "r", "N", "/s?x=1", "auth", "00000002", "c", "abc"},
    {"quoted qop", R"(digest qop="auth", nc=1, username="u")", false, true, std::nullopt, "u", std::nullopt, std::nullopt,
     std::nullopt, "auth", "1"},
    {"an unquoted value at the end runs to the end", R"(DIGEST username="u", nc=0000000a)", false, true, std::nullopt, "u",
     std::nullopt, std::nullopt, std::nullopt, std::nullopt, "0000000a"},
    {"an unquoted value at the end with a blank after it is not taken", R"(Digest username="u", nc=1 )", false, true,
     std::nullopt, "u"},
    {"a quoted value without its closing quote is not taken", R"(Digest username="u)", false, true},
    {"nonce also matches the end of cnonce when that comes first", R"(Digest cnonce="C", nonce="N")", false, true,
     std::nullopt, std::nullopt, std::nullopt, "C", std::nullopt, std::nullopt, std::nullopt, "C"},
    {"basic, credentials trimmed", "Basic   dXNlcjpwYXNz  ", true, false, "dXNlcjpwYXNz"},
    {"basic in lower case", "basic dXNlcjpwYXNz", true, false, "dXNlcjpwYXNz"},
    {"a scheme word without its blank is neither", "Basicx", false, false},
    {"another scheme", R"(Bearer username="u")", false, false},
};

TEST(HTTPAuthenticationRequestTest, ParsesTheFieldsOfBothSchemes) {
    for (const auto& c : kFieldCases) {
        SCOPED_TRACE(c.name);
        const HTTPAuthenticationRequest auth(c.field);
        EXPECT_EQ(auth.isBasic(), c.basic);
        EXPECT_EQ(auth.isDigest(), c.digest);
        EXPECT_EQ(auth.base64Credentials(), c.credentials);
        EXPECT_EQ(auth.username(), c.username);
        EXPECT_EQ(auth.realm(), c.realm);
        EXPECT_EQ(auth.nonce(), c.nonce);
        EXPECT_EQ(auth.uri(), c.uri);
        EXPECT_EQ(auth.qop(), c.qop);
        EXPECT_EQ(auth.nc(), c.nc);
        EXPECT_EQ(auth.cnonce(), c.cnonce);
        EXPECT_EQ(auth.response(), c.response);
    }
}

TEST(HTTPAuthenticationRequestTest, ReadsTheRequestsAuthorizationField) {
    auto request = HTTPMessage::initEmptyRequest();
    ASSERT_TRUE(request->appendData("GET / HTTP/1.1\r\nHost: localhost\r\nauthorization: Basic eDp5\r\n\r\n"));
    const HTTPAuthenticationRequest auth(*request);
    EXPECT_TRUE(auth.isBasic());
    EXPECT_EQ(auth.base64Credentials(), "eDp5");
}

// ----- Through a connection ------------------------------------------------------------------

constexpr const char* kRealm = "pellix test";

// Protects every path under /secret (digest) and /basic (basic); the user "user" has the
// password "pass".
class AuthConnection : public HTTPConnection {
public:
    using HTTPConnection::HTTPConnection;

    bool isPasswordProtected(const std::string& path) override {
        return path.rfind("/secret", 0) == 0 || path.rfind("/basic", 0) == 0;
    }
    bool useDigestAccessAuthentication() override { return requestURI().value_or("").rfind("/basic", 0) != 0; }
    std::string realm() override { return kRealm; }
    std::optional<std::string> passwordForUser(const std::string& user) override {
        if (user == "user") return "pass";
        if (user == "\xC3\xA9l\xC3\xA8ve") return "mot de passe";
        return std::nullopt;
    }
    std::shared_ptr<HTTPResponse> httpResponseForMethod(const std::string&, const std::string& path) override {
        const std::string body = "welcome to " + path;
        return std::make_shared<HTTPDataResponse>(HTTPDataResponse::Buffer(body.begin(), body.end()));
    }
};

std::string md5Hex(const std::string& text) { return LxData::hexStringValue(LxData::md5Digest(std::string_view(text))); }

struct DigestParts {
    std::string username = "user";
    std::string password = "pass";
    std::string realm = kRealm;
    std::string nonce;
    std::string uri;
    std::string nc = "00000001";
    std::string cnonce = "0a4f113b";
    std::string qop = "auth";
    std::string method = "GET";
    std::string omit;  // a parameter left out of the field
};

// The "Authorization" value a digest client sends (RFC 2617, qop auth).
std::string digestField(const DigestParts& p) {
    const std::string ha1 = md5Hex(p.username + ":" + p.realm + ":" + p.password);
    const std::string ha2 = md5Hex(p.method + ":" + p.uri);
    const std::string response = md5Hex(ha1 + ":" + p.nonce + ":" + p.nc + ":" + p.cnonce + ":" + p.qop + ":" + ha2);
    const std::pair<std::string, std::string> params[] = {
        {"username", "\"" + p.username + "\""}, {"realm", "\"" + p.realm + "\""}, {"nonce", "\"" + p.nonce + "\""},
        {"uri", "\"" + p.uri + "\""},           {"qop", p.qop},                   {"nc", p.nc},
        {"cnonce", "\"" + p.cnonce + "\""},     {"response", "\"" + response + "\""},
    };
    std::string field = "Digest ";
    for (const auto& [name, value] : params) {
        if (name == p.omit) continue;
        if (field.size() > 7) field += ", ";
        field += name + "=" + value;
    }
    return field;
}

std::string request(const std::string& path, const std::optional<std::string>& authorization = std::nullopt) {
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" +
           (authorization ? "Authorization: " + *authorization + "\r\n" : std::string()) + "\r\n";
}

class HTTPAuthenticationTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = HTTPServer::create();
        server_->setConnectionClass<AuthConnection>();
        server_->setInterface(std::string("127.0.0.1"));
        server_->setPort(0);
        platform::Error error;
        ASSERT_TRUE(server_->start(&error)) << error.describe();
        port_ = server_->listeningPort();
    }
    void TearDown() override {
        HTTPConnection::setNonceClock(nullptr);
        server_->stop();
    }

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    static std::optional<Reply> exchange(Client& client, const std::string& text) {
        if (!client.send(text)) return std::nullopt;
        return client.readReply();
    }

    // Asks for the path without credentials and takes the nonce of the 401 challenge.
    static std::string challengeNonce(Client& client, const std::string& path) {
        const auto reply = exchange(client, request(path));
        if (!reply || reply->status != 401) {
            ADD_FAILURE() << "no challenge for " << path;
            return {};
        }
        std::smatch match;
        const std::string challenge = reply->header("www-authenticate");
        if (!std::regex_match(challenge, match, std::regex(R"re(Digest realm="pellix test", qop="auth", nonce="([0-9A-F-]{36})")re"))) {
            ADD_FAILURE() << "unexpected challenge: " << challenge;
            return {};
        }
        return match[1];
    }

    // The parts of a digest field for the path, with the nonce of a challenge to it.
    static DigestParts challenged(Client& client, const std::string& path) {
        DigestParts parts;
        parts.uri = path;
        parts.nonce = challengeNonce(client, path);
        return parts;
    }

    int status(Client& client, const std::string& path, const std::optional<std::string>& authorization) {
        const auto reply = exchange(client, request(path, authorization));
        return reply ? reply->status : 0;
    }

    // What anyone without the password can do: `count` requests without credentials on one
    // connection, in batches, each answered 401 with a challenge and so a nonce. The number
    // of challenges that came back.
    static size_t floodWithChallenges(uint16_t port, size_t count) {
        constexpr size_t kBatch = 100;
        Client flood(port);
        std::string batch;
        for (size_t i = 0; i < kBatch; ++i) batch += request("/secret/flood");
        size_t challenges = 0;
        for (size_t sent = 0; sent < count; sent += kBatch) {
            const size_t n = std::min(kBatch, count - sent);
            if (!flood.send(n == kBatch ? batch : batch.substr(0, n * request("/secret/flood").size()))) break;
            for (size_t i = 0; i < n; ++i) {
                const auto reply = flood.readReply();
                if (!reply) return challenges;
                if (reply->status == 401 && reply->has("www-authenticate")) ++challenges;
            }
        }
        return challenges;
    }

    std::shared_ptr<HTTPServer> server_;
    uint16_t port_ = 0;
};

TEST_F(HTTPAuthenticationTest, UnprotectedPathsNeedNoCredentials) {
    Client client(port_);
    const auto reply = exchange(client, request("/open"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "welcome to /open");
}

TEST_F(HTTPAuthenticationTest, CurlDigestAndBasic) {
    struct Case {
        const char* name;
        const char* scheme;
        const char* path;
        const char* credentials;
        int status;
        const char* challenge;  // the start of the last challenge, for a refusal
    };
    const Case cases[] = {
        {"digest, right password", "--digest", "/secret/report?year=2026", "user:pass", 200, nullptr},
        {"digest, wrong password", "--digest", "/secret/report", "user:wrong", 401, "Digest realm=\"pellix test\", qop=\"auth\", nonce=\""},
        {"digest, unknown user", "--digest", "/secret/report", "nobody:pass", 401, "Digest realm=\"pellix test\""},
        {"digest, a user name in UTF-8", "--digest", "/secret/x", "\xC3\xA9l\xC3\xA8ve:mot de passe", 200, nullptr},
        {"basic, right password", "--basic", "/basic/report", "user:pass", 200, nullptr},
        {"basic, wrong password", "--basic", "/basic/report", "user:wrong", 401, "Basic realm=\"pellix test\""},
        {"basic, a password that holds a colon", "--basic", "/basic/report", "user:pa:ss", 401, "Basic realm=\"pellix test\""},
    };
    testtools::ScratchDirectory scratch;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = real_clients::curl({c.scheme, "--user", c.credentials, "--dump-header", scratch.join("headers"),
                                             "--output", scratch.join("body"), "--write-out", "%{http_code}", url(c.path)});
        EXPECT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(real_clients::statusOf(run), c.status) << run.output;
        const auto body = platform::FileManager::contentsAtPath(scratch.join("body"));
        ASSERT_TRUE(body);
        const auto headers = platform::FileManager::contentsAtPath(scratch.join("headers"));
        ASSERT_TRUE(headers);
        const std::string headerText(headers->begin(), headers->end());
        if (c.status == 200) {
            const std::string path = c.path;
            EXPECT_EQ(std::string(body->begin(), body->end()), "welcome to " + path);
        } else {
            EXPECT_TRUE(body->empty());
            const size_t last = headerText.rfind("WWW-Authenticate: ");
            ASSERT_NE(last, std::string::npos) << headerText;
            EXPECT_EQ(headerText.compare(last + 18, std::strlen(c.challenge), c.challenge), 0) << headerText;
        }
    }
}

TEST_F(HTTPAuthenticationTest, PythonDigestClient) {
    // Each request and reply is noted on a "#" line as it happens, with the seconds since the
    // script began, so that a run that fails or is ended shows how far it came and how long
    // each step took: a reply that never came, or a machine too busy for the time limit.
    const std::string script = R"(
import sys, time
start = time.monotonic()
def note(text):
    print("# %.3f %s" % (time.monotonic() - start, text), flush=True)
import urllib.request, urllib.error
note("imported")
class Trace(urllib.request.BaseHandler):
    handler_order = 100  # before the error processor turns a 401 into the digest retry
    def http_request(self, request):
        note("sends " + ("with" if request.has_header("Authorization") else "without") + " credentials")
        return request
    def http_response(self, request, reply):
        note("gets %d" % reply.status)
        return reply
url = sys.argv[1]
for password in ("pass", "wrong"):
    manager = urllib.request.HTTPPasswordMgrWithDefaultRealm()
    manager.add_password(None, url, "user", password)
    opener = urllib.request.build_opener(urllib.request.HTTPDigestAuthHandler(manager), Trace())
    try:
        with opener.open(url) as reply:
            print(reply.status, reply.read().decode(), flush=True)
    except urllib.error.HTTPError as error:
        print(error.code, error.headers.get("WWW-Authenticate", "").split(",")[0], flush=True)
)";
    const auto run = real_clients::python(script, {url("/secret/py?q=1")});
    std::string result;
    std::string steps;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) (line.rfind("# ", 0) == 0 ? steps : result) += line + "\n";
    EXPECT_EQ(run.exitStatus, 0) << (run.timedOut ? "ended at the time limit\n" : "") << run.output;
    EXPECT_EQ(result, "200 welcome to /secret/py?q=1\n401 Digest realm=\"pellix test\"\n") << steps;
}

TEST_F(HTTPAuthenticationTest, DigestNonceCountsMustGrowOnAConnection) {
    Client client(port_);
    DigestParts p = challenged(client, "/secret/a");
    const struct {
        const char* nc;
        int status;
    } steps[] = {
        {"00000001", 200},
        {"00000001", 401},  // the same field again: replayed
        {"00000003", 200},
        {"00000002", 401},  // an older count
        {"0000000a", 200},  // hexadecimal: 10
        {"00000009", 401},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.nc);
        p.nc = step.nc;
        EXPECT_EQ(status(client, p.uri, digestField(p)), step.status);
    }
    // The 401 replies kept the connection; another connection adopts the nonce afresh.
    Client other(port_);
    p.nc = "00000001";
    EXPECT_EQ(status(other, p.uri, digestField(p)), 200);
}

TEST_F(HTTPAuthenticationTest, NonceOlderThanItsLifeIsRefusedUnlessAdopted) {
    auto offset = std::make_shared<std::atomic<int64_t>>(0);
    const auto start = std::chrono::steady_clock::now();
    HTTPConnection::setNonceClock([offset, start] { return start + std::chrono::seconds(offset->load()); });

    Client issuer(port_);
    DigestParts p = challenged(issuer, "/secret/b");
    ASSERT_FALSE(p.nonce.empty());
    // A nonce is issued when the nonce queue lists it, which may come after the challenge has
    // reached the client: wait for that before the clock moves.
    ASSERT_TRUE(HTTPConnection::hasRecentNonce(p.nonce));

    offset->store(299);
    Client early(port_);
    EXPECT_EQ(status(early, p.uri, digestField(p)), 200);  // adopted by this connection

    offset->store(301);
    Client late(port_);
    EXPECT_EQ(status(late, p.uri, digestField(p)), 401);  // too old to adopt
    EXPECT_FALSE(HTTPConnection::hasRecentNonce(p.nonce));

    p.nc = "00000002";
    EXPECT_EQ(status(early, p.uri, digestField(p)), 200);  // an adopted nonce lives with its connection
}

TEST_F(HTTPAuthenticationTest, NonceListKeepsTheNewestWhenFull) {
    Client early(port_);
    DigestParts p = challenged(early, "/secret/full");
    ASSERT_TRUE(HTTPConnection::hasRecentNonce(p.nonce));
    EXPECT_EQ(status(early, p.uri, digestField(p)), 200);  // adopted by this connection

    // As many challenges again as the list holds: the oldest nonce is pushed out, the one
    // after it stays.
    const std::string second = HTTPConnection::generateNonce();
    std::string last;
    for (size_t i = 1; i < HTTPConnection::kMaxRecentNonces; ++i) last = HTTPConnection::generateNonce();
    EXPECT_FALSE(HTTPConnection::hasRecentNonce(p.nonce));
    EXPECT_TRUE(HTTPConnection::hasRecentNonce(second));
    EXPECT_TRUE(HTTPConnection::hasRecentNonce(last));

    Client late(port_);
    EXPECT_EQ(status(late, p.uri, digestField(p)), 401);  // no longer known
    p.nc = "00000002";
    EXPECT_EQ(status(early, p.uri, digestField(p)), 200);  // an adopted nonce lives with its connection
    Client fresh(port_);
    EXPECT_EQ(status(fresh, p.uri, digestField(challenged(fresh, p.uri))), 200);
}

// The challenge of a digest refusal taken apart: its nonce and whether it says stale=true;
// nullopt (and a failure) when it is not a digest challenge of the form the server writes.
struct Challenge {
    std::string nonce;
    bool stale = false;
};

std::optional<Challenge> challengeOf(const std::optional<Reply>& reply) {
    if (!reply) {
        ADD_FAILURE() << "no reply";
        return std::nullopt;
    }
    std::smatch match;
    const std::string field = reply->header("www-authenticate");
    if (reply->status != 401 ||
        !std::regex_match(field, match,
                          std::regex(R"re(Digest realm="pellix test", qop="auth", nonce="([0-9A-F-]{36})"(, stale=true)?)re"))) {
        ADD_FAILURE() << "not a digest refusal: " << reply->raw;
        return std::nullopt;
    }
    return Challenge{match[1], match[2].matched};
}

// A client that holds a nonce while others, without the password, ask for more challenges
// than the list of live nonces holds: its nonce is pushed out, and its next request with the
// right password must not send it back to its user. It gets 401 with stale=true and a fresh
// nonce - never admission on the nonce the server no longer holds - and its retry with the
// fresh nonce gets in.
TEST_F(HTTPAuthenticationTest, RegressionAFloodOfChallengesDoesNotLockAClientOut) {
    Client client(port_);
    DigestParts p = challenged(client, "/secret/held");
    ASSERT_TRUE(HTTPConnection::hasRecentNonce(p.nonce));

    ASSERT_EQ(floodWithChallenges(port_, 5000), 5000u);
    ASSERT_FALSE(HTTPConnection::hasRecentNonce(p.nonce));

    const auto stale = challengeOf(exchange(client, request(p.uri, digestField(p))));
    ASSERT_TRUE(stale);
    EXPECT_TRUE(stale->stale);
    EXPECT_NE(stale->nonce, p.nonce);
    EXPECT_TRUE(HTTPConnection::hasRecentNonce(stale->nonce));

    // The stale answer adopted nothing: the old nonce, with a later count, is still refused.
    p.nc = "00000002";
    const auto again = challengeOf(exchange(client, request(p.uri, digestField(p))));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->stale);

    DigestParts retry = p;
    retry.nonce = stale->nonce;
    retry.nc = "00000001";
    const auto reply = exchange(client, request(retry.uri, digestField(retry)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "welcome to /secret/held");
}

// Only a nonce this process made, answered with the right password, is stale: a wrong
// password on a dropped nonce, or a nonce the server never made - however right its
// response - gets the plain challenge, and none of them is admitted.
TEST_F(HTTPAuthenticationTest, StaleOnlyForARightResponseOnANonceMadeHere) {
    auto offset = std::make_shared<std::atomic<int64_t>>(0);
    const auto start = std::chrono::steady_clock::now();
    HTTPConnection::setNonceClock([offset, start] { return start + std::chrono::seconds(offset->load()); });

    Client issuer(port_);
    const DigestParts pushedOut = challenged(issuer, "/secret/d");
    ASSERT_EQ(floodWithChallenges(port_, HTTPConnection::kMaxRecentNonces), HTTPConnection::kMaxRecentNonces);
    const DigestParts expired = challenged(issuer, "/secret/d");
    ASSERT_TRUE(HTTPConnection::hasRecentNonce(expired.nonce));
    offset->store(301);
    ASSERT_FALSE(HTTPConnection::hasRecentNonce(pushedOut.nonce));
    ASSERT_FALSE(HTTPConnection::hasRecentNonce(expired.nonce));

    auto withNonce = [](DigestParts p, std::string nonce) {
        p.nonce = std::move(nonce);
        return p;
    };
    auto withPassword = [](DigestParts p, std::string password) {
        p.password = std::move(password);
        return p;
    };
    std::string lowerCase = pushedOut.nonce;
    for (auto& c : lowerCase) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string otherTag = pushedOut.nonce;
    otherTag.back() = otherTag.back() == '0' ? '1' : '0';
    std::string otherRandom = pushedOut.nonce;
    otherRandom.front() = otherRandom.front() == '0' ? '1' : '0';
    const struct {
        const char* name;
        DigestParts parts;
        bool stale;
    } cases[] = {
        {"right password, nonce pushed out", pushedOut, true},
        {"right password, nonce past its life", expired, true},
        {"wrong password, nonce pushed out", withPassword(pushedOut, "wrong"), false},
        {"wrong password, nonce past its life", withPassword(expired, "wrong"), false},
        {"a nonce never made", withNonce(pushedOut, "00000000-0000-4000-8000-000000000000"), false},
        {"a made nonce with its tag changed", withNonce(pushedOut, otherTag), false},
        {"a made nonce with its random part changed", withNonce(pushedOut, otherRandom), false},
        {"a made nonce spelt in lower case", withNonce(pushedOut, lowerCase), false},
        {"not a nonce of the server's form", withNonce(pushedOut, "nonce"), false},
    };
    Client client(port_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto challenge = challengeOf(exchange(client, request(c.parts.uri, digestField(c.parts))));
        ASSERT_TRUE(challenge);
        EXPECT_EQ(challenge->stale, c.stale);
    }
    // The refusals left the connection free to adopt a nonce.
    EXPECT_EQ(status(client, "/secret/d", digestField(challenged(client, "/secret/d"))), 200);
}

// Between two ends of a loopback connection: forwards both ways and, before the first
// request that carries digest credentials, runs `hold` (a flood of challenges) - the time a
// client's retry could take to arrive while others keep asking. Serves one connection.
class HoldingRelay {
public:
    HoldingRelay(uint16_t target, std::function<void()> hold) : target_(target), hold_(std::move(hold)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
            ADD_FAILURE() << "relay cannot listen: " << std::strerror(errno);
            return;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~HoldingRelay() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    bool held() const { return held_; }

private:
    void run() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        pollfd accepting{listener_, POLLIN, 0};
        while (!stop_ && ::poll(&accepting, 1, 100) == 0) {
        }
        if (stop_) return;
        const int client = ::accept(listener_, nullptr, nullptr);
        Client upstream(target_);
        std::string pending;  // from the client, not yet forwarded
        bool open = client >= 0 && upstream.connected();
        while (open && !stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd fds[2] = {{client, POLLIN, 0}, {upstream.fd(), POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0) continue;
            char chunk[65536];
            if (fds[0].revents != 0) {
                const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                pending.append(chunk, static_cast<size_t>(n));
                if (!held_ && pending.find("Authorization: Digest ") != std::string::npos) {
                    hold_();
                    held_ = true;
                }
                open = upstream.send(pending);
                pending.clear();
            }
            if (fds[1].revents != 0) {
                const ssize_t n = ::recv(upstream.fd(), chunk, sizeof chunk, 0);
                if (n <= 0) break;
                open = ::send(client, chunk, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
            }
        }
        if (client >= 0) ::close(client);
    }

    uint16_t target_;
    std::function<void()> hold_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    std::thread thread_;
};

// curl between its challenge and its answer: a flood pushes the nonce it answers out of the
// list, and curl, told stale=true, retries with the fresh nonce and gets in without failing.
TEST_F(HTTPAuthenticationTest, CurlDigestGetsInAcrossAFloodOfChallenges) {
    std::atomic<size_t> challenges{0};
    HoldingRelay relay(port_, [&] { challenges = floodWithChallenges(port_, 5000); });
    testtools::ScratchDirectory scratch;
    const auto run = real_clients::curl({"--digest", "--user", "user:pass", "--dump-header", scratch.join("headers"),
                                         "--output", scratch.join("body"), "--write-out", "%{http_code}",
                                         "http://127.0.0.1:" + std::to_string(relay.port()) + "/secret/curl"});
    EXPECT_TRUE(relay.held());
    EXPECT_EQ(challenges.load(), 5000u);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(real_clients::statusOf(run), 200) << run.output;
    const auto body = platform::FileManager::contentsAtPath(scratch.join("body"));
    ASSERT_TRUE(body);
    EXPECT_EQ(std::string(body->begin(), body->end()), "welcome to /secret/curl");
    const auto headers = platform::FileManager::contentsAtPath(scratch.join("headers"));
    ASSERT_TRUE(headers);
    const std::string headerText(headers->begin(), headers->end());
    // Challenged, stale, admitted: three replies on the one connection.
    EXPECT_NE(headerText.find(", stale=true\r\n"), std::string::npos) << headerText;
    EXPECT_NE(headerText.find("HTTP/1.1 200"), std::string::npos) << headerText;
}

// The half of DigestIsRefusedWithoutMD5 that runs in a child process, where the crypto
// library loads only its "base" provider and so makes no digest at all.
TEST_F(HTTPAuthenticationTest, WithoutMD5Child) {
    if (std::getenv("PELLIX_TEST_WITHOUT_MD5") == nullptr) GTEST_SKIP() << "run by DigestIsRefusedWithoutMD5";
    ASSERT_TRUE(LxData::md5Digest(std::string_view("x")).empty()) << "the crypto library still makes MD5";
    Client client(port_);
    DigestParts p = challenged(client, "/secret/no-md5");
    // Made here, every digest of the field is empty, its response too: what the server
    // would expect if it took an empty digest for a result.
    const std::string field = digestField(p);
    ASSERT_NE(field.find("response=\"\""), std::string::npos) << field;
    EXPECT_EQ(status(client, p.uri, field), 401);
    // Basic authentication needs no digest and still works.
    EXPECT_EQ(status(client, "/basic/no-md5", "Basic " + LxData::base64Encoded(std::string_view("user:pass"))), 200);
}

TEST(HTTPAuthenticationWithoutMD5Test, DigestIsRefusedWithoutMD5) {
    if (std::getenv("PELLIX_TEST_WITHOUT_MD5") != nullptr) GTEST_SKIP() << "the child itself";
    testtools::ScratchDirectory scratch;
    const std::string config = scratch.join("base-only.cnf");
    std::ofstream(config) << "openssl_conf = openssl_init\n"
                             "[openssl_init]\nproviders = provider_sect\n"
                             "[provider_sect]\nbase = base_sect\n"
                             "[base_sect]\nactivate = 1\n";
    const auto env = platform::Subprocess::findInPath("env");
    ASSERT_TRUE(env);
    const platform::Subprocess::Result run = platform::Subprocess::run(
        {*env, "OPENSSL_CONF=" + config, "PELLIX_TEST_WITHOUT_MD5=1", std::filesystem::read_symlink("/proc/self/exe"),
         "--gtest_filter=HTTPAuthenticationTest.WithoutMD5Child"},
        {}, std::chrono::minutes(2));
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test."), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("SKIPPED"), std::string::npos) << run.output;
}

TEST_F(HTTPAuthenticationTest, DigestFieldsThatCannotBeAccepted) {
    Client client(port_);
    DigestParts good = challenged(client, "/secret/c");
    struct Case {
        const char* name;
        DigestParts parts;
        std::string path;
    };
    std::vector<Case> cases;
    for (const char* omit : {"username", "realm", "nonce", "uri", "qop", "nc", "cnonce", "response"}) {
        DigestParts p = good;
        p.omit = omit;
        cases.push_back({omit, p, good.uri});
    }
    DigestParts other = good;
    other.uri = "/secret/other";
    cases.push_back({"a uri other than the request's", other, good.uri});
    DigestParts unknownNonce = good;
    unknownNonce.nonce = "00000000-0000-4000-8000-000000000000";
    cases.push_back({"a nonce never issued", unknownNonce, good.uri});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reply = exchange(client, request(c.path, digestField(c.parts)));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 401);
        EXPECT_EQ(reply->header("content-length"), "0");
        EXPECT_EQ(reply->header("www-authenticate").rfind("Digest realm=\"pellix test\", qop=\"auth\", nonce=\"", 0), 0u);
    }
    // None of them adopted the nonce or counted: the first count is still accepted.
    EXPECT_EQ(status(client, good.uri, digestField(good)), 200);
    DigestParts wrongPassword = good;
    wrongPassword.password = "wrong";
    wrongPassword.nc = "00000002";
    EXPECT_EQ(status(client, good.uri, digestField(wrongPassword)), 401);
}

TEST_F(HTTPAuthenticationTest, BasicCredentials) {
    struct Case {
        const char* name;
        std::optional<std::string> field;
        int status;
    };
    const Case cases[] = {
        {"right password", "Basic " + LxData::base64Encoded(std::string_view("user:pass")), 200},
        {"scheme in lower case", "basic " + LxData::base64Encoded(std::string_view("user:pass")), 200},
        {"Base64 broken by blanks", "Basic dXNl cjpw YXNz", 200},
        {"no colon", "Basic " + LxData::base64Encoded(std::string_view("userpass")), 401},
        {"empty password", "Basic " + LxData::base64Encoded(std::string_view("user:")), 401},
        {"unknown user", "Basic " + LxData::base64Encoded(std::string_view("nobody:pass")), 401},
        {"not UTF-8", "Basic " + LxData::base64Encoded(std::string_view("user:pass\xFF")), 401},
        {"no credentials", std::nullopt, 401},
        {"a digest field", R"(Digest username="user")", 401},
    };
    Client client(port_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reply = exchange(client, request("/basic/x", c.field));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        if (c.status == 401) {
            EXPECT_EQ(reply->header("www-authenticate"), "Basic realm=\"pellix test\"");
        }
    }
}

}  // namespace
