// HTTPConnection: making one, start and stop, the socket's disconnection, death, and the
// base behaviour of the hooks.
#include "Core/HTTPConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "Platform/Notifications/NotificationCenter.h"

#include "Core/detail/HTTPConnectionInternal.h"

HTTPConnection::HTTPConnection(std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config)
    : asyncSocket_(std::move(socket)), config_(std::move(config)) {
    if (!config_) config_ = HTTPConfig::initWithServer({}, std::nullopt);
    connectionQueue_ = config_->queue() ? config_->queue() : platform::DispatchQueue::createSerial("HTTPConnection");
    request_ = HTTPMessage::initEmptyRequest();
}

void HTTPConnection::attachToSocket() {
    if (!asyncSocket_) return;
    asyncSocket_->setDelegate(weak_from_this(), connectionQueue_);
    // A reply is written as its header and then its body: without this the body would wait
    // for the client's delayed acknowledgement of the header, some 40 ms per request.
    std::shared_ptr<AsyncSocket> socket = asyncSocket_;
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
    if (isSecureServer()) {
        std::optional<platform::TlsIdentity> identity = sslIdentityAndCertificates();
        if (identity && identity->isValid()) {
            TlsSettings settings;
            settings.isServer = true;
            settings.certificates = std::move(*identity);
            settings.level = TlsSettings::kLevelNegotiatedSSL;
            settings.handshakeTimeout = std::min(TlsSettings::kDefaultHandshakeTimeout, readTimeout());
            asyncSocket_->startTLS(std::move(settings));
        }
    }
    startReadingRequest();
}

bool HTTPConnection::respondsTo(Call call) const {
    return call == Call::DidReadData || call == Call::DidWriteData || call == Call::DidDisconnect;
}

// ---------------------------------------------------------------------------------------------
// Death

void HTTPConnection::socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>&) {
    if (sock != asyncSocket_) return;
    asyncSocket_.reset();
    die();
}

void HTTPConnection::die() {
    if (httpResponse_ && httpResponse_->implements(HTTPResponse::kConnectionDidClose)) httpResponse_->connectionDidClose();
    httpResponse_.reset();
    platform::NotificationCenter::defaultCenter().post(HTTPConnectionDidDieNotification, shared_from_this());
}

// ---------------------------------------------------------------------------------------------
// Hooks: the base behaviour

bool HTTPConnection::isSecureServer() { return false; }

std::optional<platform::TlsIdentity> HTTPConnection::sslIdentityAndCertificates() { return std::nullopt; }

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
