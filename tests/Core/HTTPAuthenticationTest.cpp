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
