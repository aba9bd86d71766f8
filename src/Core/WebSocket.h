// The server side of a web socket. A connection whose request asks for an upgrade hands its
// socket to the web socket that its webSocketForURI hook returns; the web socket answers the
// handshake - RFC 6455, the older draft 76 with its two numeric keys and 8-byte body, or an
// upgrade without keys - then reads text messages and writes text frames, and reports to its
// delegate. The base connection returns no web socket (an upgrade request is answered 404);
// a connection class that wants one returns WebSocket::create<T>(request(), asyncSocket()).
//
// The handshake reply is status 101 "Web Socket Protocol Handshake" with "Upgrade" and
// "Connection", the origin ("Sec-WebSocket-Origin" for draft 76, else "WebSocket-Origin": the
// request's Origin, else http://localhost:<port>), the location ("Sec-WebSocket-Location" or
// "WebSocket-Location": ws or wss, the Host, the request target) and, for RFC 6455, the
// "Sec-WebSocket-Accept" value. Messages are read as WebSocketFrameReader describes: messages
// of at most kMaxMessageLength bytes, text only, a message sent in fragments delivered once,
// whole; anything else, or a close, ping or pong frame, ends the web socket (no close frame
// is sent) and closes its socket. Frames written are unmasked text frames for RFC 6455,
// 0x00 text 0xFF otherwise.
//
// Queues: each web socket has its own serial queue "WebSocket". Socket callbacks, the
// handshake, the reading and every delegate call run there; start(), stop() and
// setDelegate() post to it, delegate() waits on it. sendMessage() and sendData() may be
// called from any thread (the socket keeps writes in order); call them after
// webSocketDidOpen, or the frame may go out before the handshake reply.
//
// Closing happens once: the delegate hears webSocketDidClose, then "WebSocketDidDie" is posted
// with the web socket as object, synchronously on its queue, and the server drops it from its
// list.
//
// Ownership: the server's list keeps a web socket alive while it is open; its socket holds it
// weakly, as it holds the delegate (which must outlive its use). Destroying a web socket
// detaches it from its socket and disconnects the socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "AsyncSocket/AsyncSocket.h"
#include "Core/HTTPMessage.h"
#include "Core/detail/WebSocketFrameReader.h"
#include "Platform/Dispatch/DispatchQueue.h"

// The notification a closed web socket posts, synchronously on its queue, with itself as object.
inline constexpr const char* WebSocketDidDieNotification = "WebSocketDidDie";

class WebSocket;

// What a web socket tells; every call is optional (the defaults ignore it). Called on the web
// socket's queue.
class WebSocketDelegate {
public:
    virtual ~WebSocketDelegate() = default;
    virtual void webSocketDidOpen(const std::shared_ptr<WebSocket>& ws) { (void)ws; }
    // A text message; nullopt when its bytes are not UTF-8.
    virtual void webSocketDidReceiveMessage(const std::shared_ptr<WebSocket>& ws, const std::optional<std::string>& msg) {
        (void)ws, (void)msg;
    }
    virtual void webSocketDidClose(const std::shared_ptr<WebSocket>& ws) { (void)ws; }
};

class WebSocket : public AsyncSocketDelegate, public std::enable_shared_from_this<WebSocket> {
public:
    using Bytes = std::vector<uint8_t>;

    static constexpr uint64_t kMaxMessageLength = websocket_detail::WebSocketFrameReader::kMaxMessageLength;

    // Socket tags of the handshake (reads of frames use WebSocketFrameReader's tags; frames
    // are written with tag 0).
    enum Tag : long {
        TagHTTPRequestBody = 100,
        TagHTTPResponseHeader = 200,
        TagHTTPResponseBody = 201,
    };

    // Whether the request asks for a web socket: an "Upgrade" of "WebSocket" and a
    // "Connection" that contains "Upgrade", both ignoring case.
    static bool isWebSocketRequest(const HTTPMessage& request);
    // Whether it carries draft 76's two keys ("Sec-WebSocket-Key1" and "Sec-WebSocket-Key2").
    static bool isVersion76Request(const HTTPMessage& request);
    // Whether it carries "Sec-WebSocket-Key".
    static bool isRFC6455Request(const HTTPMessage& request);

    // initWithRequest:socket: for class T, which must be constructible from (request, socket):
    // the web socket of the upgrade request on that socket, made the socket's delegate on its
    // queue; nullptr without a request or a socket.
    template <class T = WebSocket>
    static std::shared_ptr<T> create(std::shared_ptr<HTTPMessage> request, std::shared_ptr<AsyncSocket> socket) {
        if (!request || !socket) return nullptr;
        auto webSocket = std::make_shared<T>(std::move(request), std::move(socket));
        static_cast<WebSocket&>(*webSocket).attachToSocket();
        return webSocket;
    }

    // Prefer create(), which also makes the web socket its socket's delegate.
    WebSocket(std::shared_ptr<HTTPMessage> request, std::shared_ptr<AsyncSocket> socket);
    ~WebSocket() override;
    WebSocket(const WebSocket&) = delete;
    WebSocket& operator=(const WebSocket&) = delete;

    std::shared_ptr<WebSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<WebSocketDelegate> delegate);

    // Any thread. The first call answers the handshake (draft 76: once its 8 bytes have
    // arrived) and opens the web socket; later calls do nothing. A web socket whose socket has
    // already disconnected - the peer went away while the connection was handing it over -
    // closes instead (its delegate hears webSocketDidClose, and the server drops it).
    void start();
    // Any thread. Disconnects the socket; the web socket then closes.
    void stop();

    // Any thread: one text frame of the text's bytes, or of the bytes as they are.
    void sendMessage(std::string_view msg);
    void sendData(std::span<const uint8_t> msg);

    const std::shared_ptr<platform::DispatchQueue>& websocketQueue() const { return websocketQueue_; }
    const std::shared_ptr<HTTPMessage>& request() const { return request_; }
    const std::shared_ptr<AsyncSocket>& asyncSocket() const { return asyncSocket_; }
    bool isVersion76() const { return isVersion76_; }
    bool isRFC6455() const { return isRFC6455_; }
    // Any thread: whether the web socket has closed (set before "WebSocketDidDie" is posted).
    bool hasClosed() const { return isClosed_.load(); }

    // The frame that carries the payload: RFC 6455 (0x81, the length in 7, 16 or 64 bits, the
    // payload) or the older framing (0x00, the payload, 0xFF).
    static Bytes frameForPayload(std::span<const uint8_t> payload, bool rfc6455);
    // Draft 76's number of a key: its digits read as a number, divided by its count of
    // spaces (0 without spaces), the low 32 bits big-endian.
    static Bytes processKey(std::string_view key);
    // RFC 6455's "Sec-WebSocket-Accept" value of a key.
    static std::string acceptValueForKey(std::string_view key);

    // ----- Hooks (web socket queue): a subclass that overrides one calls the base, which
    // tells the delegate. -----
    // The handshake has been answered: the first frame is being read.
    virtual void didOpen();
    virtual void didReceiveMessage(const std::optional<std::string>& msg);
    // Tells the delegate, then posts "WebSocketDidDie". Called once.
    virtual void didClose();

    // Socket delegate calls (web socket queue).
    bool respondsTo(Call call) const override;
    void didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData& data, long tag) override;
    void socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>& error) override;

private:
    void attachToSocket();
    void sendResponseHeaders();
    void sendResponseBody(std::span<const uint8_t> requestBody);
    void open();
    void close();
    void queueReads(const std::vector<websocket_detail::FrameRead>& reads);

    const std::shared_ptr<platform::DispatchQueue> websocketQueue_;
    const std::shared_ptr<HTTPMessage> request_;
    const std::shared_ptr<AsyncSocket> asyncSocket_;
    const bool isVersion76_;
    const bool isRFC6455_;

    // Touched only on websocketQueue_.
    bool isStarted_ = false;
    bool isOpen_ = false;
    // Set on websocketQueue_ only; read from any thread (the server tests it before listing a
    // web socket, so that one that closed first is never listed).
    std::atomic<bool> isClosed_{false};
    std::weak_ptr<WebSocketDelegate> delegate_;
    websocket_detail::WebSocketFrameReader reader_;
};
