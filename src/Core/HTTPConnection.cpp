// HTTPConnection: making one, start and stop, the socket's disconnection, death, and the
// base behaviour of the hooks.
#include "Core/HTTPConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "Platform/Notifications/NotificationCenter.h"

#include "Core/detail/HTTPConnectionInternal.h"

HTTPConnection::HTTPConnection(std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config)
    : asyncSocket_(std::move(socket)), config_(std::move(config)) {
    if (!config_) config_ = HTTPConfig::initWithServer({}, std::nullopt);
    connectionQueue_ = config_->queue() ? config_->queue() : platform::DispatchQueue::createSerial("HTTPConnection");
    request_ = HTTPMessage::initEmptyRequest();
}

void HTTPConnection::attachToSocket() {
    // From the moment the socket has its new delegate, a close is reported on the connection
    // queue, which then lets go of asyncSocket_ while this still runs on the creator's queue:
    // only the copy taken before is used after it.
    std::shared_ptr<AsyncSocket> socket = asyncSocket_;
    if (!socket) return;
    socket->setDelegate(weak_from_this(), connectionQueue_);
    // A reply is written as its header and then its body: without this the body would wait
    // for the client's delayed acknowledgement of the header, some 40 ms per request.
    socket->performBlock([&socket] {
        const int fd = socket->socketFD();
        const int one = 1;
        if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    });
}

HTTPConnection::~HTTPConnection() {
    if (asyncSocket_) {
        asyncSocket_->setDelegate(std::weak_ptr<AsyncSocketDelegate>(), nullptr);
        asyncSocket_->disconnect();
    }
    if (httpResponse_ && httpResponse_->implements(HTTPResponse::kConnectionDidClose)) httpResponse_->connectionDidClose();
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void HTTPConnection::start() {
    auto self = shared_from_this();
    connectionQueue_->async([self] {
        if (self->started_) return;
        self->started_ = true;
        // The socket closed before the start: the death waited for it (see socketDidDisconnect).
        if (!self->asyncSocket_) {
            self->die();
            return;
        }
        self->startConnection();
    });
}

void HTTPConnection::stop() {
    auto self = shared_from_this();
    connectionQueue_->async([self] {
        if (self->asyncSocket_) self->asyncSocket_->disconnect();
    });
}

void HTTPConnection::startConnection() {
    if (!asyncSocket_) return;
    // Every connection waits for its turn on the queue it shares with all the others. A client
    // that went away meanwhile (a flood of connect-and-reset) has nobody left to answer, and
    // must not cost an identity lookup, nor hold its descriptor behind the lookups ahead of it.
    if (peerHasGone()) {
        closeUnread();
        return;
    }
    if (isSecureServer()) {
        ServerIdentity identity = sslIdentityAndCertificates();
        if (identity.kind == ServerIdentity::Kind::UnavailableForNow) {
            // Plain HTTP here would serve this client's requests, and our replies, in the clear
            // on the port of a secure server. The next connection looks again.
            LX_LOG_WARN(LogContextHttpServer, "%@[%p]: No server identity for now; connection closed unread", THIS_FILE,
                        static_cast<const void*>(this));
            closeUnread();
            return;
        }
        if (identity.kind == ServerIdentity::Kind::Found && identity.identity.isValid()) {
            TlsSettings settings;
            settings.isServer = true;
            settings.certificates = std::move(identity.identity);
            settings.level = TlsSettings::kLevelNegotiatedSSL;
            settings.handshakeTimeout = std::min(TlsSettings::kDefaultHandshakeTimeout, readTimeout());
            asyncSocket_->startTLS(std::move(settings));
        }
    }
    startReadingRequest();
}

bool HTTPConnection::peerHasGone() {
    bool gone = false;
    std::shared_ptr<AsyncSocket> socket = asyncSocket_;
    // Only looked at, never read: the bytes a client sent stay for the request or the handshake.
    socket->performBlock([&] {
        const int fd = socket->socketFD();
        if (fd < 0) {
            gone = true;  // the socket has closed already
            return;
        }
        pollfd ready{fd, POLLIN | POLLRDHUP, 0};
        if (::poll(&ready, 1, 0) <= 0) return;  // the client is waiting for us
        // A reset, or both directions shut down: no reply can reach the client.
        if (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            gone = true;
            return;
        }
        // The end of the stream with nothing before it: the client can send no request, nor
        // a handshake. A client that sent its request and then shut its side down has not
        // gone: its request is read as any other.
        char byte = 0;
        const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    });
    return gone;
}

void HTTPConnection::closeUnread() {
    // The socket may have closed before this connection became its delegate, and then no
    // disconnection call ever comes: so the connection leaves the socket and dies itself, once.
    std::shared_ptr<AsyncSocket> socket = std::move(asyncSocket_);
    socket->setDelegate(std::weak_ptr<AsyncSocketDelegate>(), nullptr);
    socket->disconnect();
    die();
}

bool HTTPConnection::respondsTo(Call call) const {
    return call == Call::DidReadData || call == Call::DidWriteData || call == Call::DidDisconnect;
}

// ---------------------------------------------------------------------------------------------
// Death

void HTTPConnection::socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>&) {
    if (sock != asyncSocket_) return;
    asyncSocket_.reset();
    // A socket that closes the moment it has its connection as delegate may report it before
    // the server has listed the connection, which it does between making and starting it: a
    // death told then would leave the connection listed for good. The start tells it instead.
    if (started_) die();
}

void HTTPConnection::die() {
    if (httpResponse_ && httpResponse_->implements(HTTPResponse::kConnectionDidClose)) httpResponse_->connectionDidClose();
    httpResponse_.reset();
    platform::NotificationCenter::defaultCenter().post(HTTPConnectionDidDieNotification, shared_from_this());
}

// ---------------------------------------------------------------------------------------------
// Hooks: the base behaviour

bool HTTPConnection::isSecureServer() { return false; }

HTTPConnection::ServerIdentity HTTPConnection::sslIdentityAndCertificates() { return ServerIdentity::none(); }

bool HTTPConnection::supportsMethod(const std::string& method, const std::string&) {
    return method == "GET" || method == "HEAD";
}

bool HTTPConnection::expectsRequestBodyFromMethod(const std::string& method, const std::string&) {
    return method == "POST" || method == "PUT";
}

void HTTPConnection::prepareForBodyWithSize(uint64_t) {}
void HTTPConnection::processBodyData(std::span<const uint8_t>) {}
void HTTPConnection::finishBody() {}

std::shared_ptr<WebSocket> HTTPConnection::webSocketForURI(const std::string&) { return nullptr; }
