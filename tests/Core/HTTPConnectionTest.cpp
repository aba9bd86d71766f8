#include "Core/HTTPConnection.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "Core/HTTPServerTestSupport.h"
#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"
#include "Platform/Tls/TestIdentity.h"
#include "tools/Eventually.h"

namespace {

using namespace server_test;

const std::string kHost = "Host: localhost\r\n";

std::string get(const std::string& path, const std::string& extra = "", const std::string& version = "HTTP/1.1") {
    return "GET " + path + " " + version + "\r\n" + kHost + extra + "\r\n";
}

class HTTPConnectionTest : public ::testing::Test {
protected:
    explicit HTTPConnectionTest(HTTPConnectionTimeouts timeouts = {}) : f(timeouts) {}
    void SetUp() override {
        LxLog::addLogger(logger);
        ASSERT_TRUE(f.start()) << f.error.describe();
    }
    void TearDown() override {
        LxLog::flushLog();
        LxLog::removeLogger(logger);
    }
    std::vector<std::string> logTexts() {
        LxLog::flushLog();
        return logger->texts();
    }
    bool logged(const std::string& text) {
        auto texts = logTexts();
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != std::string::npos; });
    }
    // Waits until the record holds the event.
    bool waitForEvent(const std::string& event) {
        auto record = f.record();
        std::unique_lock lock(record->mutex);
        return record->cv.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::find(record->events.begin(), record->events.end(), event) != record->events.end();
        });
    }

    ServerFixture f;
    std::shared_ptr<logging_test::RecordingLogger> logger = std::make_shared<logging_test::RecordingLogger>();
};

// ----- Reading requests ------------------------------------------------------------------

struct LengthCase {
    const char* name;
    const char* request;
    int status;           // 0: no reply, the connection is closed
    bool closes;
    const char* events;   // the body hook events joined by "|"
};

constexpr LengthCase kLengthCases[] = {
    {"get with length 0", "GET /a HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n", 200, false, "reply:GET /a"},
    {"get with length 3", "GET /a HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc", 400, true, ""},
    {"get with unparseable length", "GET /a HTTP/1.1\r\nHost: localhost\r\nContent-Length: x\r\n\r\n", 400, true, ""},
    {"post length read up to the first non-digit",
     "POST /p HTTP/1.1\r\nHost: localhost\r\nContent-Length: 12ab\r\n\r\nhello world!", 200, false,
     "prepare:12|body:hello world!|finish|reply:POST /p"},
    {"post length -1 is a chunked body",
     "POST /p HTTP/1.1\r\nHost: localhost\r\nContent-Length: -1\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 200, false,
     "prepare:18446744073709551615|body:abc|finish|reply:POST /p"},
    {"post without a length", "POST /p HTTP/1.1\r\nHost: localhost\r\n\r\n", 400, true, ""},
    {"post with length 0", "POST /p HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n", 200, false,
     "prepare:0|finish|reply:POST /p"},
    {"unsupported method with a bad length is 400",
     "PATCH /p HTTP/1.1\r\nHost: localhost\r\nContent-Length: zz\r\n\r\n", 400, true, ""},
    {"unsupported method is 405", "OPTIONS /p HTTP/1.1\r\nHost: localhost\r\n\r\n", 405, true, ""},
    {"malformed request line", "GET /a\r\n\r\n", 400, true, ""},
    {"chunked body with extensions and trailers",
     "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"
     "5;name=value\r\nhello\r\na\r\n0123456789\r\n0\r\nX-Trailer: 1\r\nX-Other: 2\r\n\r\n",
     200, false, "prepare:18446744073709551615|body:hello|body:0123456789|finish|reply:POST /p"},
    {"chunked wins over a length", "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: Chunked\r\nContent-Length: 99\r\n\r\n"
     "2\r\nab\r\n0\r\n\r\n", 200, false, "prepare:18446744073709551615|body:ab|finish|reply:POST /p"},
    {"chunk size without a hex digit", "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400,
     true, "prepare:18446744073709551615"},
    {"chunk size beyond 64 bits",
     "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n1ffffffffffffffff\r\n", 400, true,
     "prepare:18446744073709551615"},
    {"chunk size line not UTF-8", "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n5\xff\r\n", 400,
     true, "prepare:18446744073709551615"},
    {"chunk without its CRLF", "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabXY", 400,
     true, "prepare:18446744073709551615|body:ab"},
    {"declared body beyond the limit is 413", "POST /p HTTP/1.1\r\nHost: localhost\r\nContent-Length: 104857601\r\n\r\n", 413,
     true, ""},
    {"chunk beyond the limit is 413",
     "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n6400001\r\n", 413, true,
     "prepare:18446744073709551615"},
};

TEST_F(HTTPConnectionTest, RequestLengthsBodiesAndRefusals) {
    for (const LengthCase& c : kLengthCases) {
        SCOPED_TRACE(c.name);
        f.record()->clear();
        Client client(f.port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(c.request));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        if (c.status >= 400) {
            EXPECT_EQ(reply->header("content-length"), "0");
            EXPECT_TRUE(reply->has("date"));
            EXPECT_EQ(reply->header("accept-ranges"), "bytes");
        }
        if (c.closes) {
            EXPECT_EQ(reply->header("connection"), "close");
            EXPECT_TRUE(client.closedByPeer());
        } else {
            // The connection is kept and answers the next request.
            ASSERT_TRUE(client.send(get("/next")));
            auto next = client.readReply();
            ASSERT_TRUE(next);
            EXPECT_EQ(next->status, 200);
        }
        std::vector<std::string> events;
        for (const auto& e : f.record()->snapshot()) {
            if (e != "reply:GET /next") events.push_back(e);
        }
        std::string joined;
        for (size_t i = 0; i < events.size(); ++i) joined += (i ? "|" : "") + events[i];
        EXPECT_EQ(joined, c.events);
    }
}

TEST_F(HTTPConnectionTest, RefusalsAreLogged) {
    struct Case {
        const char* request;
        const char* text;
    } cases[] = {
        {"GET /a HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\n",
         "HTTPConnection[0x%]: Method not expecting request body had non-zero Content-Length"},
        {"POST /p HTTP/1.1\r\nHost: localhost\r\nContent-Length: q\r\n\r\n",
         "Unable to parse Content-Length header into a valid number"},
        {"POST /p HTTP/1.1\r\nHost: localhost\r\n\r\n", "Method expects request body, but had no specified Content-Length"},
        {"POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\nq\r\n",
         "Method expects chunk size, but received something else"},
        {"POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n1\r\naXY", "Method expects chunk trailer, but is missing"},
        {"GET a b c\r\n", "Malformed request"},
        {"OPTIONS /o HTTP/1.1\r\nHost: localhost\r\n\r\n", "HTTP Server: Error 405 - Method Not Allowed: OPTIONS (/o)"},
        {"GET /q HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\n", "HTTP Server: Error 400 - Bad Request (/q)"},
        {"GET a b c\r\n", "HTTP Server: Error 400 - Bad Request ((null))"},
        {"GET /v HTTP/2.0\r\nHost: localhost\r\n\r\n", "HTTP Server: Error 505 - Version Not Supported: HTTP/2.0 (/v)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Client client(f.port);
        ASSERT_TRUE(client.send(c.request));
        ASSERT_TRUE(client.readReply());
        std::string text = c.text;
        const size_t wild = text.find("0x%");
        if (wild != std::string::npos) text = text.substr(0, wild);
        EXPECT_TRUE(logged(text));
    }
    for (const auto& message : logger->messages()) {
        EXPECT_EQ(message->logContext, LogContextHttpServer);
        EXPECT_EQ(message->logFlag, LogFlagWarning);
    }
}

TEST_F(HTTPConnectionTest, HeaderLineLimits) {
    std::string fields99;
    for (int i = 0; i < 98; ++i) fields99 += "X-F" + std::to_string(i) + ": v\r\n";
    {
        SCOPED_TRACE("request line and 99 fields are accepted");
        Client client(f.port);
        ASSERT_TRUE(client.send("GET /a HTTP/1.1\r\n" + kHost + fields99 + "\r\n"));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
    }
    {
        SCOPED_TRACE("100 fields close the connection without a reply");
        Client client(f.port);
        ASSERT_TRUE(client.send("GET /a HTTP/1.1\r\n" + kHost + fields99 + "X-Last: v\r\n\r\n"));
        EXPECT_TRUE(client.closedByPeer());
    }
    {
        SCOPED_TRACE("a header line over 8190 bytes closes without a reply");
        Client client(f.port);
        ASSERT_TRUE(client.send("GET /a HTTP/1.1\r\nX-Long: " + std::string(8190, 'a') + "\r\n\r\n"));
        EXPECT_TRUE(client.closedByPeer());
    }
    {
        SCOPED_TRACE("footer lines go on counting from the header");
        std::string footers;
        for (int i = 0; i < 97; ++i) footers += "X-T" + std::to_string(i) + ": v\r\n";
        Client client(f.port);
        ASSERT_TRUE(client.send("POST /p HTTP/1.1\r\n" + kHost + "Transfer-Encoding: chunked\r\n\r\n0\r\n" + footers + "\r\n"));
        EXPECT_TRUE(client.closedByPeer());
    }
}

TEST_F(HTTPConnectionTest, LargeBodyArrivesInPiecesOfAtMostHalfAMebibyte) {
    f.b().recordBody = false;
    Client client(f.port);
    ASSERT_TRUE(client.send("POST /p HTTP/1.1\r\n" + kHost + "Content-Length: 600000\r\n\r\n" + std::string(600000, 'x')));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(f.record()->snapshot(),
              (std::vector<std::string>{"prepare:600000", "piece:524288", "piece:75712", "finish", "reply:POST /p"}));
}

TEST_F(HTTPConnectionTest, ChunkedBodyBeyondTheLimitIsRefusedWhenItsSumGrowsTooLarge) {
    f.b().recordBody = false;
    Client client(f.port, false, 20000);
    // 64 MiB arrive, then a chunk of 40 MiB is announced: 104 MiB in all.
    ASSERT_TRUE(client.send("POST /p HTTP/1.1\r\n" + kHost + "Transfer-Encoding: chunked\r\n\r\n4000000\r\n"));
    ASSERT_TRUE(client.send(std::string(64 << 20, 'x') + "\r\n2800000\r\n"));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
    EXPECT_EQ(reply->header("connection"), "close");
    EXPECT_TRUE(client.closedByPeer());
    auto events = f.record()->snapshot();
    EXPECT_EQ(std::count(events.begin(), events.end(), "finish"), 0);
}

// ----- Replying and keep-alive -------------------------------------------------------------

struct KeepAliveCase {
    const char* version;
    const char* connection;  // "" = no field
    const char* path;        // "/missing" is answered 404
    int status;
    bool kept;
    const char* announced;  // the reply's "Connection" field; "" = none
};

// An HTTP/1.0 client that asked for keep-alive must be told that it is kept, or it waits for
// the close; every other reply keeps the field it had.
constexpr KeepAliveCase kKeepAliveCases[] = {
    {"HTTP/1.1", "", "/k", 200, true, ""},
    {"HTTP/1.1", "CLOSE", "/k", 200, false, ""},
    {"HTTP/1.1", "keep-alive", "/k", 200, true, ""},
    {"HTTP/1.1", "keep-alive", "/missing", 404, true, ""},
    {"HTTP/1.0", "", "/k", 200, false, ""},
    {"HTTP/1.0", "keep-alive", "/k", 200, true, "keep-alive"},
    {"HTTP/1.0", "Keep-Alive", "/k", 200, true, "keep-alive"},
    {"HTTP/1.0", "Keep-Alive", "/missing", 404, true, "keep-alive"},
    {"HTTP/1.0", "close", "/k", 200, false, ""},
    {"HTTP/1.0", "", "/missing", 404, false, ""},
    {"HTTP/2.0", "", "/k", 505, true, ""},
    {"HTTP/2.0", "close", "/k", 505, true, ""},
};

TEST_F(HTTPConnectionTest, KeepAliveRules) {
    f.b().respond = [](const std::string&, const std::string& uri, const std::string&) -> std::shared_ptr<HTTPResponse> {
        if (uri == "/missing") return nullptr;
        return std::make_shared<TestResponse>("hello");
    };
    for (const auto& c : kKeepAliveCases) {
        SCOPED_TRACE(std::string(c.version) + " Connection: " + c.connection + " " + c.path);
        Client client(f.port);
        const std::string field = *c.connection ? std::string("Connection: ") + c.connection + "\r\n" : "";
        ASSERT_TRUE(client.send(get(c.path, field, c.version)));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        EXPECT_TRUE(reply->statusLine.rfind("HTTP/1.1 ", 0) == 0) << reply->statusLine;
        EXPECT_EQ(reply->has("connection"), *c.announced != 0);
        if (*c.announced) {
            EXPECT_EQ(reply->header("connection"), c.announced);
        }
        if (c.kept) {
            // The same request again on the same connection: kept and announced as before.
            const std::string again = std::string(c.version) == "HTTP/2.0" ? get("/again") : get("/again", field, c.version);
            ASSERT_TRUE(client.send(again));
            auto next = client.readReply();
            ASSERT_TRUE(next);
            EXPECT_EQ(next->status, 200);
            EXPECT_EQ(next->has("connection"), *c.announced != 0);
        } else {
            EXPECT_TRUE(client.closedByPeer());
        }
    }
}

TEST_F(HTTPConnectionTest, PipelinedRequestsAreAnsweredInOrder) {
    f.b().respond = [](const std::string&, const std::string& uri, const std::string& body) {
        return std::make_shared<TestResponse>(uri + body);
    };
    Client client(f.port);
    std::string all;
    for (int i = 0; i < 20; ++i) {
        if (i % 3 == 0) all += "POST /p" + std::to_string(i) + " HTTP/1.1\r\n" + kHost + "Content-Length: 2\r\n\r\n#" + std::to_string(i % 10);
        else all += get("/g" + std::to_string(i));
    }
    ASSERT_TRUE(client.send(all));
    for (int i = 0; i < 20; ++i) {
        auto reply = client.readReply();
        ASSERT_TRUE(reply) << i;
        const std::string expected = i % 3 == 0 ? "/p" + std::to_string(i) + "#" + std::to_string(i % 10) : "/g" + std::to_string(i);
        EXPECT_EQ(reply->body, expected);
    }
}

TEST_F(HTTPConnectionTest, ReplyShapes) {
    f.b().respond = [](const std::string&, const std::string& uri, const std::string&) -> std::shared_ptr<HTTPResponse> {
        if (uri == "/thousand") return std::make_shared<TestResponse>(std::string(1000, 'k'));
        if (uri == "/empty") return std::make_shared<TestResponse>("");
        if (uri == "/status") return std::make_shared<TestResponse>("made", 201);
        if (uri == "/fields")
            return std::make_shared<TestResponse>("f", 200, std::map<std::string, std::string>{{"Accept-Ranges", "none"}, {"X-Own", "1"}});
        if (uri == "/chunked") return std::make_shared<TestResponse>("chunky", 200, std::map<std::string, std::string>{}, true);
        return nullptr;
    };
    Client client(f.port);
    {
        SCOPED_TRACE("HEAD gets the length and no body");
        ASSERT_TRUE(client.send("HEAD /thousand HTTP/1.1\r\n" + kHost + "\r\n"));
        auto reply = client.readReply(true);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header("content-length"), "1000");
    }
    {
        SCOPED_TRACE("an empty response is its header alone");
        ASSERT_TRUE(client.send(get("/empty")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(reply->header("content-length"), "0");
        EXPECT_TRUE(client.buffer().empty());  // no body bytes of the HEAD reply came after all
    }
    {
        SCOPED_TRACE("the response's status");
        ASSERT_TRUE(client.send(get("/status")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 201);
        EXPECT_EQ(reply->body, "made");
    }
    {
        SCOPED_TRACE("the response's fields replace the base ones");
        ASSERT_TRUE(client.send(get("/fields")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header("accept-ranges"), "none");
        EXPECT_EQ(reply->header("x-own"), "1");
        EXPECT_TRUE(reply->has("date"));
    }
    {
        SCOPED_TRACE("a small chunked response");
        ASSERT_TRUE(client.send(get("/chunked", "Range: bytes=0-1\r\n")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);  // ranges are ignored for a chunked reply
        EXPECT_EQ(reply->header("transfer-encoding"), "chunked");
        EXPECT_EQ(reply->raw.substr(reply->raw.find("\r\n\r\n") + 4), "6\r\nchunky\r\n0\r\n\r\n");
    }
    {
        SCOPED_TRACE("no response: 404, and HTTP/1.1 stays open");
        ASSERT_TRUE(client.send(get("/missing")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 404);
        EXPECT_EQ(reply->header("content-length"), "0");
        EXPECT_FALSE(reply->has("connection"));
        EXPECT_TRUE(logged("HTTPConnection[0x"));
        EXPECT_TRUE(logged("]: No configured document root"));
    }
    {
        SCOPED_TRACE("a gate's 403 is the only reply");
        ASSERT_TRUE(client.send(get("/forbidden/x") + get("/status")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 403);
        EXPECT_EQ(reply->header("content-length"), "0");
        auto next = client.readReply();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->status, 201);
    }
    {
        SCOPED_TRACE("an upgrade request finds no web socket: 404");
        ASSERT_TRUE(client.send(get("/ws", "Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 404);
    }
}

TEST_F(HTTPConnectionTest, LargeChunkedResponseIsFramedInPiecesOfHalfAMebibyte) {
    std::string body(600000, 'c');
    for (size_t i = 0; i < body.size(); i += 997) body[i] = static_cast<char>('a' + i % 26);
    f.b().respond = [body](const std::string&, const std::string&, const std::string&) {
        return std::make_shared<TestResponse>(body, 200, std::map<std::string, std::string>{}, true);
    };
    Client client(f.port);
    ASSERT_TRUE(client.send(get("/big")));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, body);
    const std::string framed = reply->raw.substr(reply->raw.find("\r\n\r\n") + 4);
    const std::string expected = "80000\r\n" + body.substr(0, 524288) + "\r\n127c0\r\n" + body.substr(524288) + "\r\n0\r\n\r\n";
    EXPECT_TRUE(framed == expected);
}

TEST_F(HTTPConnectionTest, LargeResponseArrivesWhole) {
    std::string body(3 * 524288 + 17, 'b');
    for (size_t i = 0; i < body.size(); i += 4093) body[i] = static_cast<char>('a' + i % 26);
    f.b().respond = [body](const std::string&, const std::string&, const std::string&) { return std::make_shared<TestResponse>(body); };
    Client client(f.port);
    ASSERT_TRUE(client.send(get("/big")));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->body == body);
}

TEST_F(HTTPConnectionTest, ResponseCallbacksFromAStaleSenderAreLoggedAndIgnored) {
    Client client(f.port);
    ASSERT_TRUE(client.send(get("/a")));
    ASSERT_TRUE(client.readReply());
    TestResponse stranger("x");
    struct Probe : HTTPConnection {
        using HTTPConnection::HTTPConnection;
    };
    auto probe = HTTPConnection::create<Probe>(AsyncSocket::create(), nullptr);
    probe->responseHasAvailableData(&stranger);
    probe->responseDidAbort(&stranger);
    probe->connectionQueue()->sync([] {});
    EXPECT_TRUE(logged("]: responseHasAvailableData: - Sender is not current httpResponse"));
    EXPECT_TRUE(logged("]: responseDidAbort: - Sender is not current httpResponse"));
    // Nothing else changed: the served connection goes on as before.
    ASSERT_TRUE(client.send(get("/b")));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
}

// ----- Responses that produce their body later ---------------------------------------------

// A response whose body a test hands over from its own thread, as a response that reads a file
// or a stream does: it returns what it has (at most maxPiece bytes a read), tells its
// connection when there is more, when its header may go, or that it gives up. It cannot be
// rewound: setOffset only counts the calls.
class ScriptedResponse : public HTTPResponse {
public:
    struct Options {
        uint64_t length = 0;
        bool chunked = false;
        bool delayHeaders = false;
        size_t maxPiece = SIZE_MAX;
    };
    explicit ScriptedResponse(Options options) : options_(options), delay_(options.delayHeaders) {}

    unsigned implementedOperations() const override { return kDelayResponseHeaders | kIsChunked; }
    uint64_t contentLength() override { return options_.length; }
    uint64_t offset() override {
        std::lock_guard lock(mutex_);
        return offset_;
    }
    void setOffset(uint64_t) override {
        std::lock_guard lock(mutex_);
        ++setOffsetCalls_;
    }
    DataSlice readDataOfLength(uint64_t length) override {
        std::lock_guard lock(mutex_);
        const size_t count = std::min<uint64_t>({length, options_.maxPiece, pending_.size()});
        if (count == 0) return {};
        auto piece = std::make_shared<const DataSlice::Buffer>(pending_.begin(), pending_.begin() + static_cast<long>(count));
        pending_.erase(0, count);
        offset_ += count;
        return DataSlice(piece, 0, count);
    }
    bool isDone() override {
        std::lock_guard lock(mutex_);
        return finished_ && pending_.empty();
    }
    bool delayResponseHeaders() override {
        std::lock_guard lock(mutex_);
        return delay_;
    }
    bool isChunked() override { return options_.chunked; }

    // Connection queue: the connection that serves it.
    void attach(const std::shared_ptr<HTTPConnection>& connection) {
        std::lock_guard lock(mutex_);
        connection_ = connection;
    }
    // Test thread.
    bool attached() {
        std::lock_guard lock(mutex_);
        return !connection_.expired();
    }
    void add(const std::string& bytes, bool last = false) {
        std::lock_guard lock(mutex_);
        pending_ += bytes;
        finished_ = finished_ || last;
    }
    void releaseHeaders() {
        std::lock_guard lock(mutex_);
        delay_ = false;
    }
    void announce() {
        if (auto connection = connectionRef()) connection->responseHasAvailableData(this);
    }
    void giveUp() {
        if (auto connection = connectionRef()) connection->responseDidAbort(this);
    }
    int setOffsetCalls() {
        std::lock_guard lock(mutex_);
        return setOffsetCalls_;
    }

private:
    std::shared_ptr<HTTPConnection> connectionRef() {
        std::lock_guard lock(mutex_);
        return connection_.lock();
    }

    const Options options_;
    std::mutex mutex_;
    std::weak_ptr<HTTPConnection> connection_;  // guarded by mutex_
    std::string pending_;                       // guarded by mutex_
    uint64_t offset_ = 0;                       // guarded by mutex_
    bool finished_ = false;                     // guarded by mutex_
    bool delay_;                                // guarded by mutex_
    int setOffsetCalls_ = 0;                    // guarded by mutex_
};

class HTTPConnectionLaterBodyTest : public HTTPConnectionTest {
protected:
    // Every request gets the response made by `make`, served on its connection.
    void serve(std::function<std::shared_ptr<ScriptedResponse>()> make) {
        f.b().respondOnConnection = [make](const std::shared_ptr<HTTPConnection>& connection, const std::string&,
                                           const std::string&) -> std::shared_ptr<HTTPResponse> {
            auto response = make();
            response->attach(connection);
            return response;
        };
    }
    // Serves `response` to the next request and waits until its connection has it.
    void serveOnce(const std::shared_ptr<ScriptedResponse>& response, Client& client, const std::string& request) {
        serve([response] { return response; });
        ASSERT_TRUE(client.send(request));
        ASSERT_TRUE(testtools::eventually([&] { return response->attached(); }));
    }
    // True when nothing arrives within the time.
    static bool silentFor(Client& client, int ms) {
        pollfd p{client.fd(), POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }
};

struct PiecewiseCase {
    size_t length;
    size_t maxPiece;
};

// A small body whose first read is short once made the connection rewind it with setOffset
// and read again: a response that cannot rewind lost its first piece and the client waited
// for bytes that never came.
TEST_F(HTTPConnectionLaterBodyTest, ShortFirstReadOfASmallBodyIsSentNotRewound) {
    constexpr PiecewiseCase cases[] = {{10, 5}, {3, 1}, {16384, 1000}, {16384, 16383}, {16385, 4096}, {20000, 7}};
    Client client(f.port);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes, at most " + std::to_string(c.maxPiece) + " a read");
        std::string body(c.length, 'p');
        for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
        auto response = std::make_shared<ScriptedResponse>(ScriptedResponse::Options{c.length, false, false, c.maxPiece});
        response->add(body, true);
        serve([response] { return response; });
        ASSERT_TRUE(client.send(get("/piecewise")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header("content-length"), std::to_string(c.length));
        EXPECT_TRUE(reply->body == body);
        EXPECT_EQ(response->setOffsetCalls(), 0);
    }
}

TEST_F(HTTPConnectionLaterBodyTest, BodyThatComesLaterIsSentWhenAnnounced) {
    Client client(f.port);
    auto response = std::make_shared<ScriptedResponse>(ScriptedResponse::Options{10});
    serveOnce(response, client, get("/later"));
    response->add("01234");
    response->announce();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    response->add("56789", true);
    response->announce();
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "0123456789");
    EXPECT_EQ(response->setOffsetCalls(), 0);
    // The connection is kept and answers the next request.
    serve([] {
        auto next = std::make_shared<ScriptedResponse>(ScriptedResponse::Options{2});
        next->add("ok", true);
        return next;
    });
    ASSERT_TRUE(client.send(get("/next")));
    auto next = client.readReply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, "ok");
}

TEST_F(HTTPConnectionLaterBodyTest, DelayedHeadersWaitForTheResponse) {
    Client client(f.port);
    auto response = std::make_shared<ScriptedResponse>(ScriptedResponse::Options{5, false, true});
    response->add("ready", true);
    serveOnce(response, client, get("/delayed"));
    EXPECT_TRUE(silentFor(client, 200));  // not even the header
    response->releaseHeaders();
    response->announce();
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "ready");
}

TEST_F(HTTPConnectionLaterBodyTest, AbortClosesAfterWhatWasQueued) {
    Client client(f.port);
    auto response = std::make_shared<ScriptedResponse>(ScriptedResponse::Options{10});
    serveOnce(response, client, get("/abort"));
    response->add("0123");
    response->announce();
    response->giveUp();  // after the announcement: its piece is queued before the close
    EXPECT_FALSE(client.readReply());  // the body stops short of its length...
    EXPECT_TRUE(client.eof());         // ...and the connection is closed
    const std::string& received = client.buffer();
    ASSERT_NE(received.find("\r\n\r\n"), std::string::npos);
    EXPECT_EQ(received.substr(received.find("\r\n\r\n") + 4), "0123");
    EXPECT_TRUE(f.waitForConnections(0));
}

TEST_F(HTTPConnectionLaterBodyTest, ChunkedReplyThatLearnsLateItIsDoneGetsItsClosingChunk) {
    Client client(f.port);
    {
        SCOPED_TRACE("done only after its last piece has gone");
        auto response = std::make_shared<ScriptedResponse>(ScriptedResponse::Options{0, true});
        serveOnce(response, client, get("/late"));
        response->add("abc");
        response->announce();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        response->add("", true);
        response->announce();
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header("transfer-encoding"), "chunked");
        EXPECT_EQ(reply->raw.substr(reply->raw.find("\r\n\r\n") + 4), "3\r\nabc\r\n0\r\n\r\n");
    }
    {
        SCOPED_TRACE("no body at all");
        auto response = std::make_shared<ScriptedResponse>(ScriptedResponse::Options{0, true});
        serveOnce(response, client, get("/none"));
        response->add("", true);
        response->announce();
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->raw.substr(reply->raw.find("\r\n\r\n") + 4), "0\r\n\r\n");
    }
}

// ----- Byte ranges ---------------------------------------------------------------------------

struct RangeCase {
    const char* range;
    int status;
    const char* body;
    const char* contentRange;
};

constexpr RangeCase kRangeCases[] = {
    {"bytes=0-4", 206, "01234", "bytes 0-4/10"},
    {"bytes=-3", 206, "789", "bytes 7-9/10"},
    {"bytes=7-", 206, "789", "bytes 7-9/10"},
    {"bytes=4", 206, "4", "bytes 4-4/10"},
    {"BYTES = 0-1", 206, "01", "bytes 0-1/10"},
    {"bytes=0-9", 206, "0123456789", "bytes 0-9/10"},
    {"bytes=5-20", 200, "0123456789", ""},
    {"bytes=10-", 200, "0123456789", ""},
    {"bytes=-11", 200, "0123456789", ""},
    {"bytes=-0", 200, "0123456789", ""},
    {"items=0-1", 200, "0123456789", ""},
    {"bytes=0-5,3-7", 200, "0123456789", ""},
    {"bytes=x", 200, "0123456789", ""},
    {"bytes 0-1", 200, "0123456789", ""},
    {"bytes=3-2", 200, "0123456789", ""},
    {"bytes=", 200, "0123456789", ""},
};

TEST_F(HTTPConnectionTest, SingleRangesAndIgnoredRanges) {
    f.b().respond = [](const std::string&, const std::string&, const std::string&) { return std::make_shared<TestResponse>("0123456789"); };
    Client client(f.port);
    for (const auto& c : kRangeCases) {
        SCOPED_TRACE(c.range);
        ASSERT_TRUE(client.send(get("/r", std::string("Range: ") + c.range + "\r\n")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        EXPECT_EQ(reply->body, c.body);
        EXPECT_EQ(reply->header("content-range"), c.contentRange);
        EXPECT_EQ(reply->header("content-length"), std::to_string(std::string(c.body).size()));
    }
    {
        SCOPED_TRACE("HEAD with a valid range gets the 206 header alone");
        ASSERT_TRUE(client.send("HEAD /r HTTP/1.1\r\n" + kHost + "Range: bytes=2-3\r\n\r\n"));
        auto reply = client.readReply(true);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 206);
        EXPECT_EQ(reply->header("content-range"), "bytes 2-3/10");
        ASSERT_TRUE(client.send(get("/r")));
        auto next = client.readReply();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->body, "0123456789");
    }
}

TEST_F(HTTPConnectionTest, MultipleRangesAreSentAsByteranges) {
    f.b().respond = [](const std::string&, const std::string&, const std::string&) { return std::make_shared<TestResponse>("0123456789"); };
    Client client(f.port);
    ASSERT_TRUE(client.send(get("/r", "Range: bytes=6-7,0-1,3-4\r\n")));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 206);
    const std::string type = reply->header("content-type");
    ASSERT_EQ(type.rfind("multipart/byteranges; boundary=", 0), 0u) << type;
    const std::string boundary = type.substr(std::string("multipart/byteranges; boundary=").size());
    EXPECT_EQ(boundary.size(), 36u);
    const std::string expected = "\r\n--" + boundary + "\r\nContent-Range: bytes 0-1/10\r\n\r\n01" + "\r\n--" + boundary +
                                 "\r\nContent-Range: bytes 3-4/10\r\n\r\n34" + "\r\n--" + boundary +
                                 "\r\nContent-Range: bytes 6-7/10\r\n\r\n67" + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(reply->body, expected);  // "Content-Length" equals the bytes actually sent
    ASSERT_TRUE(client.send(get("/r")));
    auto next = client.readReply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, "0123456789");
}

TEST_F(HTTPConnectionTest, RangesOfALargeBodyCrossPieceBoundaries) {
    std::string body(2 * 524288 + 100, 'z');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7) % 26);
    f.b().respond = [body](const std::string&, const std::string&, const std::string&) { return std::make_shared<TestResponse>(body); };
    Client client(f.port);
    ASSERT_TRUE(client.send(get("/r", "Range: bytes=10-1048586\r\n")));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 206);
    EXPECT_TRUE(reply->body == body.substr(10, 1048577));
    ASSERT_TRUE(client.send(get("/r", "Range: bytes=0-600000,700000-\r\n")));
    auto multi = client.readReply();
    ASSERT_TRUE(multi);
    EXPECT_EQ(multi->status, 206);
    EXPECT_NE(multi->body.find(body.substr(0, 600001)), std::string::npos);
    EXPECT_NE(multi->body.find(body.substr(700000)), std::string::npos);
}

// ----- Formatting ------------------------------------------------------------------------------

TEST(HTTPConnectionFormat, DatesAndChunkFraming) {
    EXPECT_EQ(HTTPConnection::dateAsString(1796802624), "Wed, 09 Dec 2026 07:50:24 GMT");
    EXPECT_EQ(HTTPConnection::dateAsString(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    const auto line = HTTPConnection::chunkedTransferSizeLineForLength(524288);
    EXPECT_EQ(std::string(line.begin(), line.end()), "80000\r\n");
    const auto footer = HTTPConnection::chunkedTransferFooter();
    EXPECT_EQ(std::string(footer.begin(), footer.end()), "\r\n0\r\n\r\n");
}

TEST(HTTPConnectionFormat, QueryParameters) {
    auto params = HTTPConnection::parseParams("a=1&b=x%20y&&=skip&novalue&c=%zz&a=2&d=");
    EXPECT_EQ(params.size(), 4u);
    EXPECT_EQ(params["a"], std::optional<std::string>("2"));
    EXPECT_EQ(params["b"], std::optional<std::string>("x y"));
    EXPECT_EQ(params["c"], std::nullopt);
    EXPECT_EQ(params["d"], std::optional<std::string>(""));
}

// ----- Time-outs -------------------------------------------------------------------------------

class HTTPConnectionTimeoutTest : public HTTPConnectionTest {
protected:
    HTTPConnectionTimeoutTest() : HTTPConnectionTest(HTTPConnectionTimeouts{0.3, 0.3}) {}
};

TEST_F(HTTPConnectionTimeoutTest, IdleConnectionClosesAfterTheReadTimeout) {
    Client client(f.port);
    ASSERT_TRUE(client.send(get("/a")));
    ASSERT_TRUE(client.readReply());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_TRUE(f.waitForConnections(0));
}

TEST_F(HTTPConnectionTimeoutTest, StalledBodiesCloseAfterTheReadTimeout) {
    const char* stalls[] = {
        "POST /p HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n\r\nabc",
        "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n",
        "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
        "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab",
        "POST /p HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n",
        "GET /a HTTP/1.1\r\nHost: loc",
    };
    for (const char* stall : stalls) {
        SCOPED_TRACE(stall);
        Client client(f.port);
        ASSERT_TRUE(client.send(stall));
        EXPECT_TRUE(client.closedByPeer());
    }
    EXPECT_TRUE(f.waitForConnections(0));
}

// ----- TLS -------------------------------------------------------------------------------------

TEST_F(HTTPConnectionTest, SecureServerSpeaksTlsWithItsIdentity) {
    f.b().identity = testing_tls::sharedIdentity();
    Client client(f.port, true);
    ASSERT_TRUE(client.connected());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.send(get("/t") + (i == 2 ? "POST /p HTTP/1.1\r\n" + kHost + "Content-Length: 3\r\n\r\nxyz" : "")));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(reply->body, "hello");
    }
    auto last = client.readReply();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->status, 200);
    EXPECT_TRUE(waitForEvent("body:xyz"));
}

TEST_F(HTTPConnectionTest, SecureServerWithoutIdentityServesPlainHttp) {
    f.b().identity = platform::TlsIdentity();  // present but empty: no usable identity
    Client client(f.port);
    ASSERT_TRUE(client.send(get("/plain")));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
}

// ----- Start: the identity lookup, and clients that have gone ------------------------------

// The identity lookups of ScriptedIdentityConnection: counted, held (with the connection queue
// they run on) while the test holds them, and each given the answer set at the time.
struct IdentityScript {
    std::mutex mutex;
    std::condition_variable cv;
    int lookups = 0;
    bool held = false;
    HTTPConnection::ServerIdentity answer;

    HTTPConnection::ServerIdentity lookup() {
        std::unique_lock lock(mutex);
        ++lookups;
        cv.notify_all();
        cv.wait(lock, [&] { return !held; });
        return answer;
    }
    void setAnswer(HTTPConnection::ServerIdentity value) {
        std::lock_guard lock(mutex);
        answer = std::move(value);
    }
    void setHeld(bool value) {
        std::lock_guard lock(mutex);
        held = value;
        cv.notify_all();
    }
    int count() {
        std::lock_guard lock(mutex);
        return lookups;
    }
    bool waitForLookups(int n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return lookups >= n; });
    }
};

std::shared_ptr<IdentityScript>& identityScript() {
    static std::shared_ptr<IdentityScript> script;
    return script;
}

class ScriptedIdentityConnection : public TestConnection {
public:
    using TestConnection::TestConnection;
    bool isSecureServer() override { return true; }
    ServerIdentity sslIdentityAndCertificates() override { return script_->lookup(); }

private:
    std::shared_ptr<IdentityScript> script_ = identityScript();
};

class HTTPConnectionStartTest : public HTTPConnectionTest {
protected:
    void SetUp() override {
        identityScript() = std::make_shared<IdentityScript>();
        f.server->setConnectionClass<ScriptedIdentityConnection>();
        HTTPConnectionTest::SetUp();
    }
    void TearDown() override {
        script().setHeld(false);
        HTTPConnectionTest::TearDown();
    }
    IdentityScript& script() { return *identityScript(); }
    size_t logCount(const std::string& text) {
        auto texts = logTexts();
        return static_cast<size_t>(
            std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != std::string::npos; }));
    }
};

// An identity that cannot be had for now must never turn the port into plain HTTP: the client
// that speaks plain HTTP gets nothing at all, not even a refusal, and the next connection
// looks again and speaks TLS.
TEST_F(HTTPConnectionStartTest, IdentityUnavailableForNowClosesTheConnectionUnread) {
    script().setAnswer(HTTPConnection::ServerIdentity::unavailableForNow());
    {
        Client plain(f.port);
        ASSERT_TRUE(plain.connected());
        plain.send(get("/") + get("/again"));
        EXPECT_TRUE(plain.closedByPeer()) << plain.buffer();
        EXPECT_EQ(plain.buffer().find("HTTP/1.1"), std::string::npos);
    }
    EXPECT_TRUE(f.waitForConnections(0));
    EXPECT_EQ(script().count(), 1);
    EXPECT_TRUE(f.record()->snapshot().empty());  // nothing was read, so nothing was asked
    EXPECT_EQ(logCount("HTTPConnection["), 1u);
    EXPECT_EQ(logCount("]: No server identity for now; connection closed unread"), 1u);

    script().setAnswer(HTTPConnection::ServerIdentity::found(testing_tls::sharedIdentity()));
    Client secure(f.port, true);
    ASSERT_TRUE(secure.connected());
    ASSERT_TRUE(secure.send(get("/t")));
    auto reply = secure.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(script().count(), 2);
}

// While the shared connection queue is busy (here: with another connection's identity lookup),
// a client connects and goes away again. Its connection must cost no identity lookup when its
// turn comes, and leave the server's list; a client that sent its request before it shut its
// side down has not gone: its request is read and answered.
TEST_F(HTTPConnectionStartTest, ClientThatHasGoneBeforeTheStartCostsNoIdentityLookup) {
    enum class Leave { Reset, Close, RequestThenHalfClose };
    struct Case {
        const char* title;
        Leave leave;
        bool gone;
    };
    const Case cases[] = {
        {"reset (SO_LINGER 0)", Leave::Reset, true},
        {"closed without a request", Leave::Close, true},
        {"request, then its side shut down", Leave::RequestThenHalfClose, false},
    };
    script().setAnswer(HTTPConnection::ServerIdentity::none());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ASSERT_TRUE(f.waitForConnections(0));
        const int before = script().count();
        script().setHeld(true);
        Client busy(f.port);
        ASSERT_TRUE(busy.connected());
        ASSERT_TRUE(script().waitForLookups(before + 1));

        auto leaving = std::make_unique<Client>(f.port);
        ASSERT_TRUE(leaving->connected());
        ASSERT_TRUE(f.waitForConnections(2));
        switch (c.leave) {
            case Leave::Reset: {
                const linger abort{1, 0};
                ASSERT_EQ(::setsockopt(leaving->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
                leaving.reset();
                break;
            }
            case Leave::Close:
                leaving.reset();
                break;
            case Leave::RequestThenHalfClose:
                ASSERT_TRUE(leaving->send(get("/leaving")));
                ASSERT_EQ(::shutdown(leaving->fd(), SHUT_WR), 0);
                break;
        }
        script().setHeld(false);

        // The busy connection's request is read only after every start queued before it.
        ASSERT_TRUE(busy.send(get("/busy")));
        auto reply = busy.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        if (c.gone) {
            EXPECT_EQ(script().count(), before + 1);
            EXPECT_TRUE(f.waitForConnections(1));
        } else {
            EXPECT_EQ(script().count(), before + 2);
            EXPECT_TRUE(waitForEvent("reply:GET /leaving"));
        }
        leaving.reset();
    }
}

}  // namespace
