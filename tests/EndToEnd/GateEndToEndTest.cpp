// The HTTPS gate and router of the running program, over real TLS: the host tests, the origin
// test, the page at "/", the methods that are refused, and the "Access-Control-Allow-Origin"
// field that follows the Origin of the last API request on a connection.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "EndToEnd/E2eFixture.h"

namespace e2e {
namespace {

constexpr const char* kPage = "<html> <h1> Your certificate is valid </h1> </html>";
constexpr const char* kJsonType = "application/json; charset=UTF-8";

class GateTest : public PellixTest {};

// Every reply of the HTTP layer carries these two fields.
void expectHttpLayerFields(const HttpReply& reply) {
    EXPECT_TRUE(reply.header("Date").has_value());
    EXPECT_EQ(reply.header("Accept-Ranges").value_or(""), "bytes");
}

// A refusal carries no body and never the origin field.
void expectRefusal(const HttpReply& reply, long status) {
    EXPECT_EQ(reply.status, status) << reply.error;
    EXPECT_EQ(reply.body, "");
    EXPECT_FALSE(reply.header("Access-Control-Allow-Origin").has_value());
    expectHttpLayerFields(reply);
}

TEST_F(GateTest, ThePageAtTheRootHasNoContentType) {
    auto client = connect();
    const HttpReply page = client->get("/");
    ASSERT_EQ(page.status, 200) << page.error;
    EXPECT_EQ(page.body, kPage);
    EXPECT_FALSE(page.header("Content-Type").has_value());
    EXPECT_FALSE(page.header("Access-Control-Allow-Origin").has_value());
    expectHttpLayerFields(page);

    const HttpReply head = client->send(HttpRequest("HEAD", "/"));
    EXPECT_EQ(head.status, 200) << head.error;
    EXPECT_EQ(head.body, "");

    // The page needs the URI to be exactly "/".
    expectRefusal(client->get("/?x"), 404);
    expectRefusal(connect()->get("/?x"), 404);
}

TEST_F(GateTest, HostTests) {
    struct Case {
        const char* host;     // the "Host" header sent; nullptr: none
        const char* address;  // where the connection goes
        long status;
    };
    constexpr Case cases[] = {
        {"localhost:31505", "127.0.0.1", 200},
        {"127.0.0.1:31505", "127.0.0.1", 200},
        {"localhost", "127.0.0.1", 200},
        {"127.0.0.1", "127.0.0.1", 200},
        {"localhost:31505", "::1", 200},  // the IPv6 listener serves too
        // The URL-host test ignores case, the header test does not: 403 alone.
        {"LOCALHOST:31505", "127.0.0.1", 403},
        {"Localhost", "127.0.0.1", 403},
        // Without the header the URL names no host, which counts as local; the header test fails.
        {nullptr, "127.0.0.1", 403},
        // A host that is not local fails the URL-host test: 404.
        {"[::1]:31505", "::1", 404},
        {"[::1]:31505", "127.0.0.1", 404},
        {"example.com", "127.0.0.1", 404},
        {"localhost.example.com", "127.0.0.1", 404},
        {"127.0.0.1.example.com:31505", "127.0.0.1", 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("Host: ") + (c.host ? c.host : "(none)") + " over " + c.address);
        auto client = connect(c.address);
        const HttpReply reply = client->get("/", {c.host ? std::string("Host: ") + c.host : std::string("Host:")});
        if (c.status == 200) {
            EXPECT_EQ(reply.status, 200) << reply.error;
            EXPECT_EQ(reply.body, kPage);
        } else {
            expectRefusal(reply, c.status);
        }
        // The refusal was the only reply: the next request on the connection gets its own.
        const HttpReply next = client->get("/");
        EXPECT_EQ(next.status, 200) << next.error;
        EXPECT_EQ(next.body, kPage);
        EXPECT_FALSE(next.newConnection) << "the connection was not kept after the reply";
    }
}

TEST_F(GateTest, OriginTests) {
    struct Case {
        const char* origin;  // nullptr: no Origin header
        bool allowed;
    };
    constexpr Case cases[] = {
        {"https://signer.pellix.com", true},
        {"https://SIGNER.Pellix.COM", true},       // the test ignores case
        {"https://signer.eu.pellix.com", true},    // prefix and suffix are what count
        {nullptr, false},
        {"", false},
        {"https://signer.pellix.com:8443", false}, // a port
        {"https://signer.pellix.com/", false},     // a path
        {"http://signer.pellix.com", false},       // not https
        {"https://evil.com", false},
        {"https://signer.pellix.com.evil.com", false},
        {"https://www.pellix.com", false},
        {"null", false},
        {"https://signer.pellix.com ", false},   // a blank after it is part of the value
        {"https://signer.pellix.com\t", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("Origin: ") + (c.origin ? c.origin : "(none)"));
        auto client = connect();
        HttpRequest request("POST", "/scard/version", "{}");
        if (c.origin) request.headers.push_back(std::string("Origin: ") + c.origin);
        if (c.origin && !*c.origin) request.headers.back() = "Origin;";  // curl's way to send it empty
        const HttpReply reply = client->send(request);
        if (c.allowed) {
            ASSERT_EQ(reply.status, 200) << reply.error;
            EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or("(none)"), c.origin);
            EXPECT_EQ(reply.header("Content-Type").value_or(""), kJsonType);
            EXPECT_EQ(nlohmann::json::parse(reply.body, nullptr, false), nlohmann::json({{"version", "1.4.0"}}))
                << reply.body;
        } else {
            expectRefusal(reply, 403);
        }
        const HttpReply next = client->post("/scard/version");
        EXPECT_EQ(next.status, 200) << next.error;
        EXPECT_FALSE(next.newConnection) << "the connection was not kept after the reply";
    }
}

TEST_F(GateTest, AllowOriginFollowsTheLastApiRequestOnTheConnection) {
    auto client = connect();
    // Before any API request no reply carries it.
    EXPECT_FALSE(client->get("/").header("Access-Control-Allow-Origin").has_value());

    const HttpReply first = client->post("/scard/version", "{}", std::string("https://Signer.pellix.com"));
    ASSERT_EQ(first.status, 200) << first.error;
    EXPECT_EQ(first.header("Access-Control-Allow-Origin").value_or(""), "https://Signer.pellix.com");
    EXPECT_EQ(first.headerCount("Access-Control-Allow-Origin"), 1);

    // Replies that set no origin of their own (the page, loaddoc) carry the last one.
    EXPECT_EQ(client->get("/").header("Access-Control-Allow-Origin").value_or(""), "https://Signer.pellix.com");
    const HttpReply load = client->get("/scard/loaddoc?sessionref=1", {"Origin: https://other.example"});
    EXPECT_EQ(load.status, 200) << load.error;
    EXPECT_EQ(load.header("Access-Control-Allow-Origin").value_or(""), "https://Signer.pellix.com");

    // A refused API request still replaces it, though its own refusal carries none.
    expectRefusal(client->post("/scard/version", "{}", std::string("https://evil.example")), 403);
    EXPECT_EQ(client->get("/").header("Access-Control-Allow-Origin").value_or(""), "https://evil.example");
    // Error replies never carry it.
    expectRefusal(client->get("/other"), 404);
    // Without an Origin it is cleared.
    expectRefusal(client->post("/scard/version", "{}", std::nullopt), 403);
    EXPECT_FALSE(client->get("/").header("Access-Control-Allow-Origin").has_value());

    // Another connection starts without one.
    EXPECT_FALSE(connect()->get("/").header("Access-Control-Allow-Origin").has_value());
}

TEST_F(GateTest, MethodsAndPaths) {
    struct Case {
        const char* method;
        const char* target;
        bool withOrigin;
        long status;
        const char* body;         // nullptr: not checked
        const char* contentType;  // nullptr: none expected
    };
    constexpr Case cases[] = {
        {"POST", "/scard", true, 200, nullptr, kJsonType},
        {"POST", "/Scard/list", true, 405, "", nullptr},  // the POST test is case-sensitive
        {"GET", "/Scard/list", true, 200, "", kJsonType}, // the gate ignores case, the responder does not
        {"GET", "/scard/list", true, 200, "", kJsonType}, // GET on the API: an empty reply
        {"HEAD", "/scard/list", true, 200, "", kJsonType},
        {"GET", "/scard/list", false, 403, "", nullptr},
        {"POST", "/other", true, 405, "", nullptr},
        {"GET", "/other", true, 404, "", nullptr},
        {"GET", "/scardx", true, 404, "", nullptr},
        {"GET", "/scard%00x/list", true, 404, "", nullptr},  // the whole component must be "scard"
        {"GET", "/scard/loaddoc%00x?sessionref=1", false, 403, "", nullptr},  // not loaddoc: Origin test
        {"POST", "/", true, 405, "", nullptr},
        {"OPTIONS", "/scard/version", true, 405, "", nullptr},  // no preflight handling
        {"OPTIONS", "/", false, 405, "", nullptr},
        {"PUT", "/scard/version", true, 405, "", nullptr},
        {"DELETE", "/scard/deletedoc", true, 405, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target + (c.withOrigin ? " with Origin" : " without Origin"));
        auto client = connect();
        HttpRequest request(c.method, c.target);
        if (c.withOrigin) request.headers.push_back(std::string("Origin: ") + kAllowedOrigin);
        // A method that carries a body announces its length, or the HTTP layer answers 400 first.
        if (std::string(c.method) == "POST" || std::string(c.method) == "PUT") request.body = "{}";
        const HttpReply reply = client->send(request);
        EXPECT_EQ(reply.status, c.status) << reply.error;
        if (c.body) {
            EXPECT_EQ(reply.body, c.body);
        }
        if (c.contentType) {
            EXPECT_EQ(reply.header("Content-Type").value_or("(none)"), c.contentType);
        } else {
            EXPECT_FALSE(reply.header("Content-Type").has_value()) << *reply.header("Content-Type");
        }
        expectHttpLayerFields(reply);
        if (c.status == 405) {
            EXPECT_EQ(reply.header("Connection").value_or(""), "close");
            EXPECT_FALSE(reply.header("Access-Control-Allow-Origin").has_value());
        }
    }
}

TEST_F(GateTest, AWebSocketUpgradeIsAnswered404AndTheConnectionStays) {
    // pellix offers no web socket: an upgrade request finds none, whatever its path.
    const std::vector<std::string> upgrade = {"Upgrade: websocket", "Connection: keep-alive, Upgrade",
                                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13",
                                              std::string("Origin: ") + kAllowedOrigin};
    auto client = connect();
    for (const char* path : {"/", "/scard/version", "/scard"}) {
        SCOPED_TRACE(path);
        const HttpReply reply = client->get(path, upgrade);
        expectRefusal(reply, 404);
        EXPECT_FALSE(reply.header("Sec-WebSocket-Accept").has_value());
        EXPECT_FALSE(reply.header("Upgrade").has_value());
    }
    const HttpReply after = client->post("/scard/version");
    EXPECT_EQ(after.status, 200) << after.error;
    EXPECT_FALSE(after.newConnection);
}

TEST_F(GateTest, KeepsTheConnectionAcrossRequests) {
    auto client = connect();
    for (int i = 0; i < 20; ++i) {
        const HttpReply reply = client->post("/scard/version");
        ASSERT_EQ(reply.status, 200) << reply.error;
        EXPECT_EQ(reply.newConnection, i == 0) << "request " << i;
    }
}

}  // namespace
}  // namespace e2e
