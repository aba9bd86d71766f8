#include "Core/WebSocket.h"

#include "Core/Categories/LxData.h"
#include "Core/Categories/LxNumber.h"
#include "Core/detail/HTTPText.h"
#include "Platform/Format.h"
#include "Platform/Notifications/NotificationCenter.h"

namespace {

using core_detail::containsIgnoringCase;
using core_detail::equalsIgnoringCase;

constexpr std::string_view kRFC6455Guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Requests

bool WebSocket::isWebSocketRequest(const HTTPMessage& request) {
    const std::optional<std::string> upgrade = request.headerField("Upgrade");
    const std::optional<std::string> connection = request.headerField("Connection");
    if (!upgrade || !connection) return false;
    return equalsIgnoringCase(*upgrade, "WebSocket") && containsIgnoringCase(*connection, "Upgrade");
}

bool WebSocket::isVersion76Request(const HTTPMessage& request) {
    return request.headerField("Sec-WebSocket-Key1") && request.headerField("Sec-WebSocket-Key2");
}

bool WebSocket::isRFC6455Request(const HTTPMessage& request) { return request.headerField("Sec-WebSocket-Key").has_value(); }

// ---------------------------------------------------------------------------------------------
// Making, starting and stopping

WebSocket::WebSocket(std::shared_ptr<HTTPMessage> request, std::shared_ptr<AsyncSocket> socket)
    : websocketQueue_(platform::DispatchQueue::createSerial("WebSocket")),
      request_(std::move(request)),
      asyncSocket_(std::move(socket)),
      isVersion76_(isVersion76Request(*request_)),
      isRFC6455_(isRFC6455Request(*request_)),
      reader_(isRFC6455_) {}

void WebSocket::attachToSocket() { asyncSocket_->setDelegate(weak_from_this(), websocketQueue_); }

WebSocket::~WebSocket() {
    asyncSocket_->setDelegate(std::weak_ptr<AsyncSocketDelegate>(), nullptr);
    asyncSocket_->disconnect();
}

std::shared_ptr<WebSocketDelegate> WebSocket::delegate() const {
    return websocketQueue_->syncResult([&] { return delegate_.lock(); });
}

void WebSocket::setDelegate(std::weak_ptr<WebSocketDelegate> delegate) {
    websocketQueue_->async([self = shared_from_this(), delegate = std::move(delegate)] { self->delegate_ = delegate; });
}

void WebSocket::start() {
    websocketQueue_->async([self = shared_from_this()] {
        if (self->isStarted_) return;
        self->isStarted_ = true;
        // The peer may have gone before the socket became ours: its disconnection then went to
        // the connection that handed the socket over, and nothing will ever reach us. Asked
        // here, after our delegate change has reached the socket's queue, the answer covers
        // that case; a disconnection after it is posted to us and closes us as usual.
        if (self->asyncSocket_->isDisconnected()) {
            self->close();
            return;
        }
        if (self->isVersion76_) {
            // Draft 76 sends 8 bytes after its header; the reply needs them.
            self->asyncSocket_->readDataToLength(8, -1, TagHTTPRequestBody);
            return;
        }
        self->sendResponseHeaders();
        self->open();
    });
}

void WebSocket::stop() {
    websocketQueue_->async([self = shared_from_this()] { self->asyncSocket_->disconnect(); });
}

// ---------------------------------------------------------------------------------------------
// Handshake

std::string WebSocket::acceptValueForKey(std::string_view key) {
    std::string material(key);
    material += kRFC6455Guid;
    return LxData::base64Encoded(LxData::sha1Digest(material));
}

WebSocket::Bytes WebSocket::processKey(std::string_view key) {
    std::string digits;
    int64_t spaces = 0;
    for (char c : key) {
        if (c >= '0' && c <= '9') digits.push_back(c);
        if (c == ' ') ++spaces;
    }
    int64_t number = 0;
    LxNumber::parseStringIntoSInt64(digits, &number);
    const uint32_t value = spaces == 0 ? 0 : static_cast<uint32_t>(number / spaces);
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

void WebSocket::sendResponseHeaders() {
    auto response = HTTPMessage::initResponseWithStatusCode(101, "Web Socket Protocol Handshake", HTTPVersion1_1);
    response->setHeaderField("Upgrade", "WebSocket");
    response->setHeaderField("Connection", "Upgrade");

    const uint16_t port = asyncSocket_->localPort();
    const std::optional<std::string> origin = request_->headerField("Origin");
    response->setHeaderField(isVersion76_ ? "Sec-WebSocket-Origin" : "WebSocket-Origin",
                             origin ? *origin : platform::format("http://localhost:%hu", port));

    const std::string scheme = asyncSocket_->isSecure() ? "wss" : "ws";
    const std::optional<platform::Url> url = request_->url();
    const std::string target = url ? url->relativeString() : std::string();
    const std::optional<std::string> host = request_->headerField("Host");
    const std::string location = host ? platform::format("%@://%@%@", scheme, *host, target)
                                      : platform::format("%@://localhost:%hu%@", scheme, port, target);
    response->setHeaderField(isVersion76_ ? "Sec-WebSocket-Location" : "WebSocket-Location", location);

    if (const std::optional<std::string> key = request_->headerField("Sec-WebSocket-Key")) {
        response->setHeaderField("Sec-WebSocket-Accept", acceptValueForKey(*key));
    }
    asyncSocket_->writeData(response->messageData(), -1, TagHTTPResponseHeader);
}

void WebSocket::sendResponseBody(std::span<const uint8_t> requestBody) {
    Bytes material = processKey(request_->headerField("Sec-WebSocket-Key1").value_or(""));
    const Bytes key2 = processKey(request_->headerField("Sec-WebSocket-Key2").value_or(""));
    material.insert(material.end(), key2.begin(), key2.end());
    material.insert(material.end(), requestBody.begin(), requestBody.end());
    asyncSocket_->writeData(LxData::md5Digest(material), -1, TagHTTPResponseBody);
}

void WebSocket::open() {
    if (isOpen_ || isClosed_) return;
    isOpen_ = true;
    didOpen();
}

// ---------------------------------------------------------------------------------------------
// Frames

WebSocket::Bytes WebSocket::frameForPayload(std::span<const uint8_t> payload, bool rfc6455) {
    Bytes frame;
    const uint64_t length = payload.size();
    frame.reserve(payload.size() + 10);
    if (rfc6455) {
        frame.push_back(0x81);  // final fragment, text
        if (length <= 125) {
            frame.push_back(static_cast<uint8_t>(length));
        } else if (length <= 0xFFFF) {
            frame.push_back(0x7E);
            frame.push_back(static_cast<uint8_t>(length >> 8));
            frame.push_back(static_cast<uint8_t>(length));
        } else {
            frame.push_back(0x7F);
            for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(length >> shift));
        }
        frame.insert(frame.end(), payload.begin(), payload.end());
    } else {
        frame.push_back(0x00);
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.push_back(0xFF);
    }
    return frame;
}

void WebSocket::sendMessage(std::string_view msg) {
    sendData(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(msg.data()), msg.size()));
}

void WebSocket::sendData(std::span<const uint8_t> msg) { asyncSocket_->writeData(frameForPayload(msg, isRFC6455_), -1, 0); }

void WebSocket::queueReads(const std::vector<websocket_detail::FrameRead>& reads) {
    for (const websocket_detail::FrameRead& read : reads) {
        if (read.length > 0) {
            asyncSocket_->readDataToLength(read.length, -1, read.tag);
        } else {
            asyncSocket_->readDataToData(ByteBuffer{read.terminator}, -1, read.maxLength, read.tag);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Hooks and socket calls

void WebSocket::didOpen() {
    queueReads({reader_.firstRead()});
    if (auto delegate = delegate_.lock()) delegate->webSocketDidOpen(shared_from_this());
}

void WebSocket::didReceiveMessage(const std::optional<std::string>& msg) {
    if (auto delegate = delegate_.lock()) delegate->webSocketDidReceiveMessage(shared_from_this(), msg);
}

void WebSocket::didClose() {
    if (auto delegate = delegate_.lock()) delegate->webSocketDidClose(shared_from_this());
    platform::NotificationCenter::defaultCenter().post(WebSocketDidDieNotification, shared_from_this());
}

void WebSocket::close() {
    if (isClosed_) return;
    isClosed_ = true;
    didClose();
}

bool WebSocket::respondsTo(Call call) const { return call == Call::DidReadData || call == Call::DidDisconnect; }

void WebSocket::didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData& data, long tag) {
    if (sock != asyncSocket_ || isClosed_) return;
    const std::span<const uint8_t> bytes(data.data(), data.size());
    if (tag == TagHTTPRequestBody) {
        sendResponseHeaders();
        sendResponseBody(bytes);
        open();
        return;
    }
    const websocket_detail::FrameResult result = reader_.didRead(tag, bytes);
    if (result.hasMessage) didReceiveMessage(result.message);
    if (result.close) {
        // A frame we do not take ends the web socket; its connection goes with it rather than
        // stay open with nothing reading it.
        close();
        asyncSocket_->disconnect();
        return;
    }
    queueReads(result.reads);
}

void WebSocket::socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>&) {
    if (sock != asyncSocket_) return;
    close();
}
