#include "Core/WebSocket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Core/Categories/LxData.h"
#include "Core/HTTPServerTestSupport.h"
#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"
#include "Platform/Tls/TestIdentity.h"
#include "tools/AllocationCount.h"
#include "tools/Eventually.h"

extern char** environ;

namespace {

using namespace server_test;
using Bytes = std::vector<uint8_t>;

std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::shared_ptr<HTTPMessage> requestWith(const std::string& fields) {
    auto request = HTTPMessage::initEmptyRequest();
    EXPECT_TRUE(request->appendData("GET /ws HTTP/1.1\r\nHost: localhost\r\n" + fields + "\r\n"));
    return request;
}

// ----- Requests, keys and frames ----------------------------------------------------------

TEST(WebSocketRequest, UpgradeAndConnectionFieldsAreComparedIgnoringCase) {
    struct Case {
        const char* fields;
        bool webSocket;
    };
    const Case cases[] = {
        {"Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n", true},
        {"Upgrade: WEBSOCKET\r\nConnection: UPGRADE\r\n", true},
        {"Upgrade: WebSocket\r\nConnection: keep-alive,upgrade\r\n", true},
        {"Upgrade: websocket\r\n", false},
        {"Connection: Upgrade\r\n", false},
        {"Upgrade: h2c\r\nConnection: Upgrade\r\n", false},
        {"Upgrade: websocket2\r\nConnection: Upgrade\r\n", false},
        {"Upgrade: websocket\r\nConnection: keep-alive\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        EXPECT_EQ(WebSocket::isWebSocketRequest(*requestWith(c.fields)), c.webSocket);
    }
    EXPECT_TRUE(WebSocket::isVersion76Request(*requestWith("Sec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 3 4\r\n")));
    EXPECT_FALSE(WebSocket::isVersion76Request(*requestWith("Sec-WebSocket-Key1: 1 2\r\n")));
    EXPECT_TRUE(WebSocket::isRFC6455Request(*requestWith("Sec-WebSocket-Key: abc\r\n")));
    EXPECT_FALSE(WebSocket::isRFC6455Request(*requestWith("Sec-WebSocket-Key1: abc\r\n")));
    EXPECT_EQ(WebSocket::create(nullptr, AsyncSocket::create()), nullptr);
}

TEST(WebSocketRequest, HandshakeKeys) {
    // RFC 6455's own example.
    EXPECT_EQ(WebSocket::acceptValueForKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    struct Case {
        const char* key;
        Bytes number;
    };
    const Case cases[] = {
        // The example of draft 76: 1868545188 / 12 and 1733470270 / 10.
        {"18x 6]8vM;54 *(5:  {   U1]8  z [  8", {0x09, 0x47, 0xFA, 0x63}},
        {"1_ tx7X d  <  nw  334J702) 7]o}` 0", {0x0A, 0x55, 0x10, 0xD3}},
        {"12 34", {0x00, 0x00, 0x04, 0xD2}},   // 1234 / 1
        {"1 2 3 4", {0x00, 0x00, 0x01, 0x9B}}, // 1234 / 3 = 411
        {"12345", {0, 0, 0, 0}},               // no spaces: 0
        {"   ", {0, 0, 0, 0}},                 // no digits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(WebSocket::processKey(c.key), c.number);
    }
}

TEST(WebSocketFrame, TextFramesInBothFramings) {
    struct Case {
        size_t length;
        Bytes header;
    };
    const Case cases[] = {
        {0, {0x81, 0x00}},
        {5, {0x81, 0x05}},
        {125, {0x81, 0x7D}},
        {126, {0x81, 0x7E, 0x00, 0x7E}},
        {200, {0x81, 0x7E, 0x00, 0xC8}},
        {65535, {0x81, 0x7E, 0xFF, 0xFF}},
        {65536, {0x81, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00}},
        {70000, {0x81, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string payload(c.length, 'p');
        const Bytes frame = WebSocket::frameForPayload(bytesOf(payload), true);
        ASSERT_EQ(frame.size(), c.header.size() + c.length);
        EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), frame.begin()));
        EXPECT_EQ(std::string(frame.begin() + static_cast<ptrdiff_t>(c.header.size()), frame.end()), payload);
    }
    EXPECT_EQ(textOf(WebSocket::frameForPayload(bytesOf("hi"), false)), std::string("\x00hi\xFF", 4));
    EXPECT_EQ(textOf(WebSocket::frameForPayload({}, false)), std::string("\x00\xFF", 2));
}

// The reader alone: what each completed read means, read by read, as a socket would deliver
// the bytes of a stream. Stops at a close or when the bytes run out.
struct Reading {
    std::vector<std::optional<std::string>> messages;
    bool closed = false;
    size_t unread = 0;  // bytes left over
};

Reading readStream(bool rfc6455, std::string_view stream) {
    websocket_detail::WebSocketFrameReader reader(rfc6455);
    std::deque<websocket_detail::FrameRead> reads{reader.firstRead()};
    Reading reading;
    size_t at = 0;
    while (!reads.empty() && !reading.closed) {
        const websocket_detail::FrameRead read = reads.front();
        reads.pop_front();
        size_t length = read.length;
        if (length == 0) {
            const size_t end = stream.find(static_cast<char>(read.terminator), at);
            if (end == std::string_view::npos || end + 1 - at > read.maxLength) {
                reading.closed = true;  // the socket fails the read and closes
                break;
            }
            length = end + 1 - at;
        }
        if (stream.size() - at < length) break;
        const auto result = reader.didRead(read.tag, bytesOf(stream.substr(at, length)));
        at += length;
        if (result.hasMessage) reading.messages.push_back(result.message);
        reading.closed = result.close;
        reads.insert(reads.end(), result.reads.begin(), result.reads.end());
    }
    reading.unread = stream.size() - at;
    return reading;
}

std::string clientFrame(uint8_t first, std::string_view payload, bool masked = true, std::string_view lengthBytes = {}) {
    std::string frame(1, static_cast<char>(first));
    const uint8_t mask = masked ? 0x80 : 0x00;
    if (!lengthBytes.empty()) {
        frame.append(lengthBytes);
        frame[1] = static_cast<char>(static_cast<uint8_t>(frame[1]) | mask);
    } else if (payload.size() <= 125) {
        frame.push_back(static_cast<char>(mask | payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        frame.push_back(static_cast<char>(mask | 126));
        frame.push_back(static_cast<char>(payload.size() >> 8));
        frame.push_back(static_cast<char>(payload.size() & 0xFF));
    } else {
        frame.push_back(static_cast<char>(mask | 127));
        for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((payload.size() >> shift) & 0xFF));
    }
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    if (masked) frame.append(key, 4);
    for (size_t i = 0; i < payload.size(); ++i) frame.push_back(masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i]);
    return frame;
}

TEST(WebSocketFrameReader, FramesMessagesAndWhatEndsTheWebSocket) {
    using Messages = std::vector<std::optional<std::string>>;
    const std::string big(70000, 'b');
    struct Case {
        const char* name;
        bool rfc6455;
        std::string stream;
        Messages messages;
        bool closed;
        size_t unread;
    };
    const Case cases[] = {
        {"masked and unmasked text", true, clientFrame(0x81, "hello") + clientFrame(0x81, "plain", false), {"hello", "plain"},
         false, 0},
        {"16-bit and 64-bit lengths", true, clientFrame(0x81, std::string(200, 'm')) + clientFrame(0x81, big),
         {std::string(200, 'm'), big}, false, 0},
        {"an empty payload is an empty message, masked or not", true,
         clientFrame(0x81, "") + clientFrame(0x81, "", false) + clientFrame(0x81, "x"), {"", "", "x"}, false, 0},
        {"text that is not UTF-8", true, clientFrame(0x81, "\xC0\xAF"), {std::nullopt}, false, 0},
        {"a ping is read whole and ends it", true, clientFrame(0x89, "ping") + clientFrame(0x81, "after"), {}, true,
         clientFrame(0x81, "after").size()},
        {"an empty close frame ends it", true, clientFrame(0x88, ""), {}, true, 0},
        {"binary ends it", true, clientFrame(0x82, "bin"), {}, true, 0},
        {"a reserved bit ends it at once", true, clientFrame(0xC1, "rsv"), {}, true, clientFrame(0xC1, "rsv").size() - 1},
        {"an unknown opcode ends it at once", true, clientFrame(0x83, "op"), {}, true, clientFrame(0x83, "op").size() - 1},
        {"a 64-bit length beyond the limit ends it before the payload", true,
         clientFrame(0x81, "", true, std::string("\x7F\x00\x00\x00\x00\x00\x40\x00\x01", 9)), {}, true, 4},
        {"a 64-bit length with the top bit set ends it", true,
         clientFrame(0x81, "", true, std::string("\x7F\x80\x00\x00\x00\x00\x00\x00\x05", 9)), {}, true, 4},
        {"older draft text", false, std::string("\x00hello\xFF\x00\xFF\x00wor", 13) + "ld\xFF", {"hello", "", "world"}, false,
         0},
        {"older draft: a type byte with the top bit ends it", false, std::string("\x00" "a\xFF\x80\x00", 5), {"a"}, true, 1},
        {"older draft text beyond the limit", false, std::string(1, '\0') + std::string(WebSocket::kMaxMessageLength + 1, 'x') + "\xFF",
         {}, true, WebSocket::kMaxMessageLength + 2},
        {"older draft text right at the limit", false,
         std::string(1, '\0') + std::string(WebSocket::kMaxMessageLength, 'x') + "\xFF",
         {std::string(WebSocket::kMaxMessageLength, 'x')}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Reading reading = readStream(c.rfc6455, c.stream);
        EXPECT_TRUE(reading.messages == c.messages);
        EXPECT_EQ(reading.closed, c.closed);
        EXPECT_EQ(reading.unread, c.unread);
    }
}

TEST(WebSocketFrameReader, FragmentedTextMessagesAreDeliveredOnceWhole) {
    using Messages = std::vector<std::optional<std::string>>;
    const size_t limit = WebSocket::kMaxMessageLength;
    const std::string nearlyAll(limit - 10, 'f');
    const std::string tooMuch = clientFrame(0x00, std::string(11, 'g'));
    struct Case {
        const char* name;
        std::string stream;
        Messages messages;
        bool closed;
        size_t unread;
    };
    const Case cases[] = {
        {"text in three masked fragments", clientFrame(0x01, "frag") + clientFrame(0x00, "men") + clientFrame(0x80, "ted"),
         {"fragmented"}, false, 0},
        {"unmasked and empty fragments",
         clientFrame(0x01, "", false) + clientFrame(0x00, "a", false) + clientFrame(0x00, "") + clientFrame(0x80, "", false),
         {"a"}, false, 0},
        {"between whole messages",
         clientFrame(0x81, "x") + clientFrame(0x01, "ab") + clientFrame(0x80, "cd") + clientFrame(0x81, "y"), {"x", "abcd", "y"},
         false, 0},
        {"a character split over two fragments", clientFrame(0x01, "caf\xC3") + clientFrame(0x80, "\xA9"), {"caf\xC3\xA9"},
         false, 0},
        {"text that is not UTF-8 is judged whole", clientFrame(0x01, "ok") + clientFrame(0x80, "\xFF"), {std::nullopt}, false, 0},
        {"a first fragment alone delivers nothing", clientFrame(0x01, "part"), {}, false, 0},
        {"right at the limit", clientFrame(0x01, nearlyAll) + clientFrame(0x80, std::string(10, 'f')),
         {std::string(limit, 'f')}, false, 0},
        {"past the limit ends it before the payload, delivering nothing", clientFrame(0x01, nearlyAll) + tooMuch, {}, true,
         tooMuch.size() - 2},
        {"a continuation without a message ends it at once", clientFrame(0x80, "b"), {}, true, clientFrame(0x80, "b").size() - 1},
        {"a continuation after a whole message ends it at once", clientFrame(0x81, "a") + clientFrame(0x00, "b"), {"a"}, true,
         clientFrame(0x00, "b").size() - 1},
        {"a text frame inside an unfinished message ends it at once", clientFrame(0x01, "a") + clientFrame(0x81, "b"), {}, true,
         clientFrame(0x81, "b").size() - 1},
        {"a ping inside a message ends it", clientFrame(0x01, "a") + clientFrame(0x89, "p") + clientFrame(0x80, "b"), {}, true,
         clientFrame(0x80, "b").size()},
        {"a fragmented binary message ends it", clientFrame(0x02, "a") + clientFrame(0x80, "b"), {}, true,
         clientFrame(0x80, "b").size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Reading reading = readStream(true, c.stream);
        EXPECT_TRUE(reading.messages == c.messages) << reading.messages.size() << " messages";
        EXPECT_EQ(reading.closed, c.closed);
        EXPECT_EQ(reading.unread, c.unread);
    }
}

// ----- Over real loopback connections, through a test connection class ---------------------

// What the web sockets of a test saw.
struct WebSocketRecord {
    std::mutex mutex;
    std::vector<std::string> events;  // "open", "message:<text or nil>", "close", and the delegate's "delegate:..."
    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    size_t count(const std::string& event) {
        std::lock_guard lock(mutex);
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }
};

std::shared_ptr<WebSocketRecord>& wsRecord() {
    static auto record = std::make_shared<WebSocketRecord>();
    return record;
}

// The last web socket a test connection made.
std::mutex lastWebSocketMutex;
std::weak_ptr<WebSocket> lastWebSocket;  // guarded by lastWebSocketMutex
// How many web sockets the test connections have made.
std::atomic<size_t> webSocketsMade{0};

// Echoes every message back; messages longer than 32 bytes are noted by their length.
class EchoWebSocket : public WebSocket {
public:
    EchoWebSocket(std::shared_ptr<HTTPMessage> request, std::shared_ptr<AsyncSocket> socket)
        : WebSocket(std::move(request), std::move(socket)), record_(wsRecord()) {}
    void didOpen() override {
        record_->add("open");
        WebSocket::didOpen();
    }
    void didReceiveMessage(const std::optional<std::string>& msg) override {
        record_->add("message:" + (!msg ? std::string("nil") : msg->size() > 32 ? std::to_string(msg->size()) : *msg));
        WebSocket::didReceiveMessage(msg);
        sendMessage(msg.value_or("(not UTF-8)"));
    }
    void didClose() override {
        record_->add("close");
        WebSocket::didClose();
    }

private:
    std::shared_ptr<WebSocketRecord> record_;
};

class RecordingWebSocketDelegate : public WebSocketDelegate {
public:
    void webSocketDidOpen(const std::shared_ptr<WebSocket>&) override { wsRecord()->add("delegate:open"); }
    void webSocketDidReceiveMessage(const std::shared_ptr<WebSocket>&, const std::optional<std::string>& msg) override {
        wsRecord()->add("delegate:message:" + msg.value_or("nil").substr(0, 32));
    }
    void webSocketDidClose(const std::shared_ptr<WebSocket>&) override { wsRecord()->add("delegate:close"); }
};

// The delegate of the test's web sockets; the test keeps it (a web socket holds its delegate
// weakly).
std::shared_ptr<RecordingWebSocketDelegate>& wsDelegate() {
    static auto delegate = std::make_shared<RecordingWebSocketDelegate>();
    return delegate;
}

// A connection class with web sockets under /ws (echo, with a delegate), under /forgetful (one
// that never takes the connection's socket), and a page for the browser at /page.
class WebSocketConnection : public TestConnection {
public:
    using TestConnection::TestConnection;
    std::shared_ptr<WebSocket> webSocketForURI(const std::string& path) override {
        if (path.rfind("/ws", 0) == 0) {
            auto webSocket = WebSocket::create<EchoWebSocket>(request(), asyncSocket());
            webSocket->setDelegate(wsDelegate());
            ++webSocketsMade;
            std::lock_guard lock(lastWebSocketMutex);
            lastWebSocket = webSocket;
            return webSocket;
        }
        if (path == "/forgetful") return WebSocket::create<EchoWebSocket>(request(), AsyncSocket::create());
        return HTTPConnection::webSocketForURI(path);
    }
};

class WebSocketServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        wsRecord() = std::make_shared<WebSocketRecord>();
        wsDelegate() = std::make_shared<RecordingWebSocketDelegate>();
        webSocketsMade = 0;
        LxLog::addLogger(logger);
        f.server->setConnectionClass<WebSocketConnection>();
    }
    void start() { ASSERT_TRUE(f.start()) << f.error.describe(); }
    void TearDown() override {
        f.server->stop();
        LxLog::flushLog();
        LxLog::removeLogger(logger);
    }
    bool logged(const std::string& text) {
        LxLog::flushLog();
        const auto texts = logger->texts();
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != std::string::npos; });
    }
    bool webSocketsBecome(size_t n) {
        return testtools::eventually([&] { return f.server->numberOfWebSocketConnections() == n; });
    }
    // Reads n bytes of frames from the client and takes them from its buffer.
    std::string take(Client& client, size_t n) {
        EXPECT_TRUE(client.readAtLeast(n)) << "got " << client.buffer().size() << " of " << n << " bytes";
        const std::string bytes = client.buffer().substr(0, std::min(n, client.buffer().size()));
        client.buffer().erase(0, bytes.size());
        return bytes;
    }

    ServerFixture f;
    std::shared_ptr<logging_test::RecordingLogger> logger = std::make_shared<logging_test::RecordingLogger>();
};

const std::string kRfcUpgrade =
    "GET /ws/chat?room=1 HTTP/1.1\r\nHost: localhost:4242\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
    "Origin: https://signer.example\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

class WebSocketLoopbackTest : public WebSocketServerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WebSocketLoopbackTest, Rfc6455HandshakeAndEchoesInEveryLengthForm) {
    const bool tls = GetParam();
    if (tls) f.b().identity = testing_tls::sharedIdentity();
    start();
    Client client(f.port, tls);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(kRfcUpgrade));
    auto reply = client.readReply(true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->statusLine, "HTTP/1.1 101 Web Socket Protocol Handshake");
    EXPECT_EQ(reply->header("upgrade"), "WebSocket");
    EXPECT_EQ(reply->header("connection"), "Upgrade");
    EXPECT_EQ(reply->header("websocket-origin"), "https://signer.example");
    EXPECT_EQ(reply->header("websocket-location"), std::string(tls ? "wss" : "ws") + "://localhost:4242/ws/chat?room=1");
    EXPECT_EQ(reply->header("sec-websocket-accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_FALSE(reply->has("content-length"));

    // The connection has handed its socket over and died; the server lists the web socket.
    EXPECT_TRUE(webSocketsBecome(1));
    EXPECT_TRUE(testtools::eventually([&] { return f.server->numberOfHTTPConnections() == 0; }));

    const std::string big(70000, 'z');
    const std::string m200(200, 'y');
    ASSERT_TRUE(client.send(clientFrame(0x81, "hello") + clientFrame(0x81, m200) + clientFrame(0x81, big) +
                            clientFrame(0x81, "plain", false) + clientFrame(0x81, "")));
    EXPECT_EQ(take(client, 7), "\x81\x05hello");
    EXPECT_EQ(take(client, 4), std::string("\x81\x7E\x00\xC8", 4));
    EXPECT_EQ(take(client, 200), m200);
    EXPECT_EQ(take(client, 10), std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x11\x70", 10));
    EXPECT_TRUE(take(client, 70000) == big);
    EXPECT_EQ(take(client, 7), "\x81\x05plain");
    EXPECT_EQ(take(client, 2), std::string("\x81\x00", 2));

    ASSERT_TRUE(client.send(clientFrame(0x89, "ping")));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(webSocketsBecome(0));
    EXPECT_EQ(wsRecord()->snapshot(),
              (std::vector<std::string>{"open", "delegate:open", "message:hello", "delegate:message:hello", "message:200",
                                        "delegate:message:" + m200.substr(0, 32), "message:70000",
                                        "delegate:message:" + big.substr(0, 32), "message:plain", "delegate:message:plain",
                                        "message:", "delegate:message:", "close", "delegate:close"}));
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, WebSocketLoopbackTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

TEST_F(WebSocketServerTest, WhatEndsAWebSocketClosesItsConnectionOnce) {
    start();
    const std::string tooLong = clientFrame(0x81, "", true, std::string("\x7F\x00\x00\x00\x00\x01\x00\x00\x00", 9));
    struct Case {
        const char* name;
        std::string frames;
        size_t messages;
    };
    const Case cases[] = {
        {"ping", clientFrame(0x89, "ping"), 0},
        {"close", clientFrame(0x88, "\x03\xE8"), 0},
        {"binary", clientFrame(0x82, "bin"), 0},
        {"reserved bit", clientFrame(0x91, "x"), 0},
        {"beyond the limit", tooLong, 0},
        {"text that is not UTF-8, then a pong", clientFrame(0x81, "\xFF") + clientFrame(0x8A, ""), 1},
        {"a continuation without a message", clientFrame(0x80, "b"), 0},
        {"a text frame inside an unfinished message", clientFrame(0x01, "a") + clientFrame(0x81, "b"), 0},
        {"a fragmented message beyond the limit",
         clientFrame(0x01, std::string(WebSocket::kMaxMessageLength, 'a')) + clientFrame(0x80, "b"), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wsRecord() = std::make_shared<WebSocketRecord>();
        Client client(f.port);
        ASSERT_TRUE(client.send(kRfcUpgrade));
        ASSERT_TRUE(client.readReply(true));
        ASSERT_TRUE(client.send(c.frames));
        client.closedByPeer();
        EXPECT_TRUE(client.eof());
        EXPECT_TRUE(webSocketsBecome(0));
        EXPECT_TRUE(testtools::eventually([&] { return wsRecord()->count("delegate:close") == 1; }));
        EXPECT_EQ(wsRecord()->count("close"), 1u);
        EXPECT_EQ(wsRecord()->count("message:nil"), c.messages);
        EXPECT_EQ(wsRecord()->count("delegate:message:nil"), c.messages);  // nothing else was delivered
    }
}

// A browser sends a long message as a first text frame without the final-fragment bit and
// continuation frames; the web socket hears it once, whole, and echoes it in one frame.
TEST_F(WebSocketServerTest, AFragmentedMessageIsDeliveredOnceWhole) {
    start();
    std::string message(1000000, ' ');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
    struct Case {
        const char* name;
        std::vector<size_t> frameLengths;  // the last frame takes the rest
    };
    const Case cases[] = {
        {"as Chromium sends it", {131000, 131000, 131000}},
        {"in small frames", std::vector<size_t>(99, 10000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wsRecord() = std::make_shared<WebSocketRecord>();
        auto client = std::make_unique<Client>(f.port);
        ASSERT_TRUE(client->send(kRfcUpgrade));
        ASSERT_TRUE(client->readReply(true));
        std::string frames;
        size_t at = 0;
        for (size_t length : c.frameLengths) {
            frames += clientFrame(at == 0 ? 0x01 : 0x00, std::string_view(message).substr(at, length));
            at += length;
        }
        frames += clientFrame(0x80, std::string_view(message).substr(at));
        ASSERT_TRUE(client->send(frames + clientFrame(0x81, "after")));
        EXPECT_EQ(take(*client, 10), std::string("\x81\x7F\x00\x00\x00\x00\x00\x0F\x42\x40", 10));
        EXPECT_TRUE(take(*client, message.size()) == message);
        EXPECT_EQ(take(*client, 7), "\x81\x05" "after");
        EXPECT_EQ(wsRecord()->snapshot(),
                  (std::vector<std::string>{"open", "delegate:open", "message:1000000", "delegate:message:" + message.substr(0, 32),
                                            "message:after", "delegate:message:after"}));
        client.reset();
        EXPECT_TRUE(webSocketsBecome(0));
        EXPECT_TRUE(testtools::eventually([&] { return wsRecord()->count("delegate:close") == 1; }));
    }
}

// A frame header that declares a long payload holds memory for the bytes that come, not for
// the length it declares: 14 bytes that announced 4 MiB held a megabyte.
TEST_F(WebSocketServerTest, RegressionADeclaredPayloadLengthHoldsOnlyTheBytesThatArrived) {
    start();
    Client client(f.port);
    ASSERT_TRUE(client.send(kRfcUpgrade));
    ASSERT_TRUE(client.readReply(true));
    ASSERT_TRUE(webSocketsBecome(1));
    std::shared_ptr<AsyncSocket> socket;
    {
        std::lock_guard lock(lastWebSocketMutex);
        auto webSocket = lastWebSocket.lock();
        ASSERT_TRUE(webSocket);
        socket = webSocket->asyncSocket();
    }
    std::string message(WebSocket::kMaxMessageLength, ' ');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
    const std::string frame = clientFrame(0x81, message);
    const std::string header = frame.substr(0, 14);  // first byte, 64-bit length, mask

    const int64_t before = testtools::liveAllocatedBytes();
    ASSERT_TRUE(client.send(header));
    uint64_t total = 0;
    ASSERT_TRUE(testtools::eventually([&] {
        socket->progressOfRead(nullptr, nullptr, &total);
        return total == message.size();
    })) << "the payload read is not current: " << total;
    const int64_t held = testtools::liveAllocatedBytes() - before;
    EXPECT_LT(held, 64 * 1024) << "bytes held for a 14-byte frame header";

    // The payload still comes through whole.
    ASSERT_TRUE(client.send(frame.substr(14)));
    EXPECT_EQ(take(client, 10), std::string("\x81\x7F\x00\x00\x00\x00\x00\x40\x00\x00", 10));
    EXPECT_TRUE(take(client, message.size()) == message);
    EXPECT_EQ(wsRecord()->count("message:" + std::to_string(message.size())), 1u);
}

// Peers that go away around the hand-off - with the upgrade still being read, while the
// connection hands its socket over, or once the web socket has opened - must each leave a
// web socket that closes, tells its delegate once and leaves the server's list.
TEST_F(WebSocketServerTest, WebSocketsCloseWhenThePeerGoesAwayAroundTheHandOff) {
    start();
    enum class Moment { AfterSending, AfterHalfAFrame, HalfCloseAfterSending, AfterTheReply };
    struct Case {
        const char* name;
        Moment moment;
    };
    const Case cases[] = {
        {"closed as soon as the upgrade is sent", Moment::AfterSending},
        {"closed in the middle of the first frame", Moment::AfterHalfAFrame},
        {"only its sending side closed", Moment::HalfCloseAfterSending},
        {"closed once the handshake reply has come", Moment::AfterTheReply},
    };
    constexpr size_t kPeers = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wsRecord() = std::make_shared<WebSocketRecord>();
        webSocketsMade = 0;
        std::vector<std::unique_ptr<Client>> clients;
        for (size_t i = 0; i < kPeers; ++i) {
            clients.push_back(std::make_unique<Client>(f.port));
            ASSERT_TRUE(clients.back()->connected());
        }
        for (auto& client : clients) {
            std::string bytes = kRfcUpgrade;
            if (c.moment == Moment::AfterHalfAFrame) bytes += clientFrame(0x81, "cut short").substr(0, 5);
            ASSERT_TRUE(client->send(bytes));
            if (c.moment == Moment::HalfCloseAfterSending) ::shutdown(client->fd(), SHUT_WR);
        }
        if (c.moment == Moment::AfterTheReply) {
            for (auto& client : clients) ASSERT_TRUE(client->readReply(true));
        }
        clients.clear();  // every peer goes away at once

        const auto generous = std::chrono::seconds(60);
        EXPECT_TRUE(testtools::eventually([&] { return webSocketsMade == kPeers; }, generous)) << webSocketsMade;
        EXPECT_TRUE(testtools::eventually([&] { return wsRecord()->count("delegate:close") == kPeers; }, generous))
            << wsRecord()->count("delegate:close") << " of " << kPeers << " told their delegate";
        EXPECT_TRUE(testtools::eventually([&] { return f.server->numberOfWebSocketConnections() == 0; }, generous))
            << f.server->numberOfWebSocketConnections() << " still listed";
        EXPECT_EQ(wsRecord()->count("close"), kPeers);
        EXPECT_EQ(wsRecord()->count("delegate:close"), kPeers);
        EXPECT_TRUE(testtools::eventually([&] { return f.server->numberOfHTTPConnections() == 0; }, generous));
    }
}

TEST_F(WebSocketServerTest, Draft76HandshakeAnswersTheKeysAndUsesTheOlderFraming) {
    start();
    // The example of the draft: the answer to these keys and body is "fQJ,fN/4F4!~K~MH".
    Client client(f.port);
    ASSERT_TRUE(client.send("GET /ws/demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\nSec-WebSocket-Protocol: sample\r\n"
                            "Upgrade: WebSocket\r\nSec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nOrigin: http://example.com\r\n"
                            "\r\n^n:ds[4U"));
    auto reply = client.readReply(true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 101);
    EXPECT_EQ(reply->header("sec-websocket-origin"), "http://example.com");
    EXPECT_EQ(reply->header("sec-websocket-location"), "ws://example.com/ws/demo");
    EXPECT_FALSE(reply->has("websocket-origin"));
    EXPECT_FALSE(reply->has("sec-websocket-accept"));
    EXPECT_EQ(take(client, 16), "8jKS'y:G*Co,Wxa-");

    ASSERT_TRUE(client.send(std::string("\x00hello\xFF\x00\xFF", 9)));
    EXPECT_EQ(take(client, 7), std::string("\x00hello\xFF", 7));
    EXPECT_EQ(take(client, 2), std::string("\x00\xFF", 2));
    ASSERT_TRUE(client.send(std::string("\xFF\x00", 2)));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(webSocketsBecome(0));
}

TEST_F(WebSocketServerTest, Draft76KeyWithoutSpacesCountsZero) {
    start();
    Client client(f.port);
    ASSERT_TRUE(client.send("GET /ws HTTP/1.1\r\nHost: localhost\r\nConnection: Upgrade\r\nUpgrade: WebSocket\r\n"
                            "Sec-WebSocket-Key1: 123456789\r\nSec-WebSocket-Key2: 1 2 3 4\r\n\r\n12345678"));
    ASSERT_TRUE(client.readReply(true));
    Bytes material = {0, 0, 0, 0, 0x00, 0x00, 0x01, 0x9B};
    material.insert(material.end(), {'1', '2', '3', '4', '5', '6', '7', '8'});
    EXPECT_EQ(take(client, 16), textOf(LxData::md5Digest(material)));
}

TEST_F(WebSocketServerTest, UpgradeWithoutKeysIsAnsweredAtOnceAndUsesTheOlderFraming) {
    start();
    Client client(f.port);
    // No Host and no Origin: both fall back to localhost and the listening port.
    ASSERT_TRUE(client.send("GET /ws/plain HTTP/1.1\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n\r\n"));
    auto reply = client.readReply(true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 101);
    const std::string port = std::to_string(f.port);
    EXPECT_EQ(reply->header("websocket-origin"), "http://localhost:" + port);
    EXPECT_EQ(reply->header("websocket-location"), "ws://localhost:" + port + "/ws/plain");
    EXPECT_FALSE(reply->has("sec-websocket-accept"));
    EXPECT_FALSE(reply->has("sec-websocket-origin"));
    EXPECT_EQ(client.buffer(), "");  // no body
    ASSERT_TRUE(client.send(std::string("\x00" "abc\xFF", 5)));
    EXPECT_EQ(take(client, 5), std::string("\x00" "abc\xFF", 5));
}

TEST_F(WebSocketServerTest, NoWebSocketForThePathIs404AndNoUpgradeIsAnOrdinaryRequest) {
    start();
    Client client(f.port);
    ASSERT_TRUE(client.send("GET /other HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 404);
    ASSERT_TRUE(client.send("GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n\r\n"));
    reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "hello");
    EXPECT_EQ(f.server->numberOfWebSocketConnections(), 0u);
}

TEST_F(WebSocketServerTest, AWebSocketThatDoesNotTakeTheSocketIsLoggedAndTheConnectionCloses) {
    start();
    Client client(f.port);
    ASSERT_TRUE(client.send("GET /forgetful HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(testtools::eventually([&] { return logged("]: WebSocket forgot to set itself as socket delegate"); }));
    EXPECT_TRUE(logged("HTTPConnection[0x"));
}

TEST_F(WebSocketServerTest, TheServerListsItsWebSocketsAndStopsThem) {
    start();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Client>(f.port));
        ASSERT_TRUE(clients.back()->send(kRfcUpgrade));
        ASSERT_TRUE(clients.back()->readReply(true));
    }
    EXPECT_TRUE(webSocketsBecome(3));
    clients.front().reset();  // the peer goes away
    EXPECT_TRUE(webSocketsBecome(2));
    f.server->stop();
    EXPECT_EQ(f.server->numberOfWebSocketConnections(), 0u);
    for (size_t i = 1; i < clients.size(); ++i) EXPECT_TRUE(clients[i]->closedByPeer());
    EXPECT_TRUE(testtools::eventually([&] { return wsRecord()->count("close") == 3; }));
}

TEST_F(WebSocketServerTest, StoppingAndKeepingWebSockets) {
    start();
    Client client(f.port);
    ASSERT_TRUE(client.send(kRfcUpgrade));
    ASSERT_TRUE(client.readReply(true));
    ASSERT_TRUE(webSocketsBecome(1));
    f.server->stop(true);  // keeps the web socket
    EXPECT_EQ(f.server->numberOfWebSocketConnections(), 1u);
    ASSERT_TRUE(client.send(clientFrame(0x81, "still open")));
    EXPECT_EQ(take(client, 12), "\x81\x0Astill open");

    std::shared_ptr<WebSocket> webSocket;
    {
        std::lock_guard lock(lastWebSocketMutex);
        webSocket = lastWebSocket.lock();
    }
    ASSERT_NE(webSocket, nullptr);
    EXPECT_NE(webSocket->delegate(), nullptr);
    EXPECT_FALSE(webSocket->hasClosed());
    webSocket->stop();
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(webSocketsBecome(0));
    EXPECT_TRUE(webSocket->hasClosed());
    // A web socket that closed before its connection handed it over is never listed.
    f.server->addWebSocket(webSocket);
    EXPECT_EQ(f.server->numberOfWebSocketConnections(), 0u);
    // Closing is told once, also when the web socket is stopped again.
    webSocket->stop();
    EXPECT_TRUE(testtools::eventually([&] { return wsRecord()->count("delegate:close") == 1; }));
    EXPECT_EQ(wsRecord()->count("close"), 1u);
}

// ----- Real clients -------------------------------------------------------------------------

struct ProcessResult {
    bool finished = false;
    int exitCode = -1;
    std::string output;
};

// Runs a program with its output in a file, for at most `limit`; killed when it runs longer.
ProcessResult runProcess(const std::vector<std::string>& args, std::chrono::seconds limit,
                         const std::vector<std::string>& extraEnvironment = {}, const std::function<bool()>& doneEarly = {}) {
    ProcessResult result;
    char outputPath[] = "/tmp/pellix-websocket-test-XXXXXX";
    const int out = ::mkstemp(outputPath);
    if (out < 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> environment(extraEnvironment);
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const bool replaced = std::any_of(extraEnvironment.begin(), extraEnvironment.end(), [&](const std::string& x) {
            return entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
        });
        if (!replaced) environment.push_back(entry);
    }
    std::vector<char*> envp, argv;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argsCopy(args);
    for (auto& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out);
    if (spawned == 0) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        for (;;) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                result.finished = true;
                result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if ((doneEarly && doneEarly()) || std::chrono::steady_clock::now() > deadline) {
                ::kill(-pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::ifstream in(outputPath);
    result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ::unlink(outputPath);
    return result;
}

class PythonClientTest : public WebSocketServerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PythonClientTest, PythonWebsocketsClientGetsItsEchoes) {
    const bool tls = GetParam();
    if (tls) f.b().identity = testing_tls::sharedIdentity();
    start();
    const std::string url = std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(f.port) + "/ws/python";
    const ProcessResult run =
        runProcess({PELLIX_PYTHON3, PELLIX_WEBSOCKET_CLIENT, url, "--insecure", "5", "200", "70000", "1000000x8"},
                   std::chrono::seconds(60));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("echo 5 ok\necho 200 ok\necho 70000 ok\necho 1000000x8 ok\n"), std::string::npos) << run.output;
    // The server's frames: a 7-bit length, the 16-bit form (126) and the 64-bit form (127).
    EXPECT_NE(run.output.find("length codes 5 126 127 127\n"), std::string::npos) << run.output;
    // The message sent in eight fragments reached the web socket once.
    EXPECT_EQ(wsRecord()->count("message:1000000"), 1u);
    EXPECT_TRUE(webSocketsBecome(0));
    EXPECT_EQ(wsRecord()->count("close"), 1u);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, PythonClientTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

// The page sends a short message and one of 1,000,000 bytes, which Chromium sends in
// fragments, and reports what came back.
constexpr const char* kBrowserPage = R"(<!doctype html>
<html><head><title>web socket test</title></head><body>
<script>
const big = Array.from({length: 1000000}, (_, i) => String.fromCharCode(97 + i % 26)).join('');
const replies = [];
const report = (text) => fetch('/result', {method: 'POST', body: text});
const ws = new WebSocket('ws://' + location.host + '/ws/browser');
ws.onopen = () => { ws.send('hello from chromium'); ws.send(big); };
ws.onmessage = async (event) => {
  replies.push(event.data);
  if (replies.length < 2) return;
  await report('echo:' + replies[0] + ' big:' + replies[1].length + ':' + (replies[1] === big ? 'whole' : 'changed'));
  ws.close();
};
ws.onclose = (event) => { if (replies.length < 2) report('closed:' + event.code + ' after ' + replies.length); };
ws.onerror = () => report('error');
</script></body></html>
)";

TEST_F(WebSocketServerTest, ChromiumPageExchangesAShortAndAFragmentedMessage) {
    f.b().respond = [](const std::string&, const std::string& path, const std::string&) -> std::shared_ptr<HTTPResponse> {
        if (path == "/page") {
            return std::make_shared<TestResponse>(kBrowserPage, 200, std::map<std::string, std::string>{{"Content-Type", "text/html"}});
        }
        return std::make_shared<TestResponse>("ok");
    };
    start();
    const std::string profile = std::filesystem::temp_directory_path() / ("pellix-websocket-chromium-" + std::to_string(::getpid()));
    std::filesystem::create_directories(profile);
    auto sawResult = [&] {
        const auto events = f.record()->snapshot();
        return std::any_of(events.begin(), events.end(), [](const std::string& e) { return e.rfind("body:", 0) == 0; });
    };
    const ProcessResult run = runProcess(
        {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage", "--user-data-dir=" + profile,
         "http://127.0.0.1:" + std::to_string(f.port) + "/page"},
        std::chrono::seconds(60), {"HOME=" + profile}, sawResult);
    std::error_code ignored;
    std::filesystem::remove_all(profile, ignored);
    const auto events = f.record()->snapshot();
    EXPECT_NE(std::find(events.begin(), events.end(), "body:echo:hello from chromium big:1000000:whole"), events.end())
        << "the page said: " << ::testing::PrintToString(events) << "\nchromium said:\n" << run.output;
    EXPECT_TRUE(testtools::eventually([&] { return wsRecord()->count("message:hello from chromium") == 1; }));
    EXPECT_EQ(wsRecord()->count("message:1000000"), 1u);
    // The page closes its web socket after the echo: a close frame ends it.
    EXPECT_TRUE(webSocketsBecome(0));
}

}  // namespace
