#include "Core/HTTPServer.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

#include "Logging/LxLogMacros.h"

namespace {

// The queue-specific key of every server queue (its value is the server).
const char kServerQueueKey = 0;

// The network-service thread: one serial queue per process, made on the first publication.
// The publication calls run there, each waited for by the server queue.
std::mutex& networkServiceMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}
std::shared_ptr<platform::DispatchQueue>& networkServiceQueueSlot() {  // guarded by networkServiceMutex()
    static auto* queue = new std::shared_ptr<platform::DispatchQueue>();
    return *queue;
}
std::shared_ptr<platform::DispatchQueue> networkServiceQueue() {
    std::lock_guard lock(networkServiceMutex());
    auto& slot = networkServiceQueueSlot();
    if (!slot) slot = platform::DispatchQueue::createSerial("HTTPServer-NetService");
    return slot;
}
void performBonjourBlock(const std::function<void()>& block) { networkServiceQueue()->sync(block); }

// Drops the object of a death notification from a list, under the list's lock; the
// reference is let go after the lock.
template <class T>
void removeDyingObject(std::mutex& lock, core_detail::LiveObjectList<T>& list, const platform::Notification& notification) {
    std::shared_ptr<T> removed;
    std::lock_guard guard(lock);
    removed = list.remove(notification.object.get());
}

std::string describeErrorDictionary(const std::map<std::string, long>& dict) {
    std::string text = "{\n";
    for (const auto& [key, value] : dict) text += "    " + key + " = " + std::to_string(value) + ";\n";
    return text + "}";
}

}  // namespace

std::shared_ptr<HTTPServer> HTTPServer::create() {
    std::shared_ptr<HTTPServer> server(new HTTPServer());
    server->asyncSocket_ = AsyncSocket::create(server->weak_from_this(), server->serverQueue_);
    std::weak_ptr<HTTPServer> weak = server;
    server->deathObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        HTTPConnectionDidDieNotification, [weak](const platform::Notification& notification) {
            if (auto self = weak.lock()) self->connectionDidDie(notification);
        });
    server->webSocketDeathObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        WebSocketDidDieNotification, [weak](const platform::Notification& notification) {
            if (auto self = weak.lock()) self->webSocketDidDie(notification);
        });
    return server;
}

HTTPServer::HTTPServer()
    : serverQueue_(platform::DispatchQueue::createSerial("HTTPServer")),
      connectionQueue_(platform::DispatchQueue::createSerial("HTTPConnection")) {
    serverQueue_->setSpecific(&kServerQueueKey, this);
    connectionClass_ = [](std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config) {
        return HTTPConnection::create<HTTPConnection>(std::move(socket), std::move(config));
    };
}

HTTPServer::~HTTPServer() {
    platform::NotificationCenter::defaultCenter().removeObserver(deathObserver_);
    platform::NotificationCenter::defaultCenter().removeObserver(webSocketDeathObserver_);
    // The last reference may be let go by a task of the server queue itself; stopping must
    // not wait for that queue then.
    if (onServerQueue()) stopOnQueue(false);
    else serverQueue_->sync([this] { stopOnQueue(false); });
    if (asyncSocket_) asyncSocket_->setDelegate(std::weak_ptr<AsyncSocketDelegate>(), nullptr);
}

bool HTTPServer::onServerQueue() const { return platform::DispatchQueue::getSpecific(&kServerQueueKey) == this; }

// ---------------------------------------------------------------------------------------------
// Properties

std::optional<std::string> HTTPServer::documentRoot() const {
    return serverQueue_->syncResult([&] { return documentRoot_; });
}
HTTPServer::ConnectionClass HTTPServer::connectionClass() const {
    return serverQueue_->syncResult([&] { return connectionClass_; });
}
std::optional<std::string> HTTPServer::interface() const {
    return serverQueue_->syncResult([&] { return interface_; });
}
uint16_t HTTPServer::port() const {
    return serverQueue_->syncResult([&] { return port_; });
}
std::string HTTPServer::domain() const {
    return serverQueue_->syncResult([&] { return domain_; });
}
std::string HTTPServer::name() const {
    return serverQueue_->syncResult([&] { return name_; });
}
std::optional<std::string> HTTPServer::type() const {
    return serverQueue_->syncResult([&] { return type_; });
}
std::optional<HTTPServer::TXTRecordDictionary> HTTPServer::txtRecordDictionary() const {
    return serverQueue_->syncResult([&] { return txtRecordDictionary_; });
}
bool HTTPServer::isRunning() const {
    return serverQueue_->syncResult([&] { return isRunning_; });
}
uint16_t HTTPServer::listeningPort() const {
    return serverQueue_->syncResult([&]() -> uint16_t { return isRunning_ ? asyncSocket_->localPort() : 0; });
}
std::optional<std::string> HTTPServer::publishedName() const {
    return serverQueue_->syncResult([&]() -> std::optional<std::string> {
        if (!netService_) return std::nullopt;
        std::string result;
        performBonjourBlock([&] { result = netService_->name(); });
        return result;
    });
}

void HTTPServer::setDocumentRoot(std::optional<std::string> value) {
    serverQueue_->async([this, self = shared_from_this(), value = std::move(value)] { documentRoot_ = value; });
}
void HTTPServer::setConnectionClass(ConnectionClass value) {
    serverQueue_->async([this, self = shared_from_this(), value = std::move(value)] { connectionClass_ = value; });
}
void HTTPServer::setPort(uint16_t value) {
    serverQueue_->async([this, self = shared_from_this(), value] { port_ = value; });
}
void HTTPServer::setInterface(std::optional<std::string> value) {
    serverQueue_->async([this, self = shared_from_this(), value = std::move(value)] { interface_ = value; });
}
void HTTPServer::setDomain(std::string value) {
    serverQueue_->async([this, self = shared_from_this(), value = std::move(value)] { domain_ = value; });
}
void HTTPServer::setName(std::string value) {
    serverQueue_->async([this, self = shared_from_this(), value = std::move(value)] { name_ = value; });
}
void HTTPServer::setType(std::optional<std::string> value) {
    serverQueue_->async([this, self = shared_from_this(), value = std::move(value)] { type_ = value; });
}
void HTTPServer::setTXTRecordDictionary(std::optional<TXTRecordDictionary> value) {
    serverQueue_->async([this, self = shared_from_this(), value = std::move(value)] {
        txtRecordDictionary_ = value;
        if (netService_) {
            std::optional<std::vector<uint8_t>> data;
            if (value) data = platform::NetService::dataFromTXTRecordDictionary(*value);
            performBonjourBlock([&] { netService_->setTXTRecordData(data); });
        }
    });
}
void HTTPServer::setConnectionTimeouts(HTTPConnectionTimeouts value) {
    serverQueue_->async([this, self = shared_from_this(), value] { connectionTimeouts_ = value; });
}
void HTTPServer::setMaxConnections(size_t value) {
    serverQueue_->async([this, self = shared_from_this(), value] { maxConnections_ = value; });
}

size_t HTTPServer::connectionLimitForDescriptors(uint64_t descriptors) {
    // The descriptors kept for everything but connections: the standard streams, the
    // listening sockets, the dispatch reactor, the files of an identity lookup, the card
    // service's socket, a download's sockets and files, the system log.
    const uint64_t reserve = std::clamp<uint64_t>(descriptors / 4, 32, 256);
    const uint64_t limit = descriptors > 2 * reserve ? descriptors - reserve : descriptors / 2;
    return static_cast<size_t>(std::clamp<uint64_t>(limit, 1, std::numeric_limits<size_t>::max()));
}

std::shared_ptr<HTTPConfig> HTTPServer::config() const {
    return HTTPConfig::initWithServer(std::const_pointer_cast<HTTPServer>(shared_from_this()), documentRoot_,
                                      connectionQueue_, connectionTimeouts_);
}

// ---------------------------------------------------------------------------------------------
// Start and stop

bool HTTPServer::start(platform::Error* errPtr) {
    platform::Error error;
    const bool success = serverQueue_->syncResult([&] {
        size_t limit = maxConnections_;
        if (limit == 0) {
            rlimit descriptors{};
            limit = ::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY
                        ? connectionLimitForDescriptors(descriptors.rlim_cur)
                        : 0;
        }
        // Posted to the socket queue ahead of the start, so the start already keeps it.
        asyncSocket_->setAcceptLimit(limit);
        const bool ok = asyncSocket_->acceptOnInterface(interface_, port_, &error);
        if (ok) {
            isRunning_ = true;
            publishBonjour();
        } else {
            LX_LOG_ERROR(LogContextHttpServer, "%@: Failed to start HTTP Server: %@", THIS_FILE, error.describe());
        }
        return ok;
    });
    if (errPtr) *errPtr = success ? platform::Error{} : error;
    return success;
}

void HTTPServer::stop(bool keepExistingConnections) {
    serverQueue_->sync([&] { stopOnQueue(keepExistingConnections); });
}

void HTTPServer::stopOnQueue(bool keepExistingConnections) {
    unpublishBonjour();
    asyncSocket_->disconnect();
    isRunning_ = false;
    if (keepExistingConnections) return;
    std::list<std::shared_ptr<HTTPConnection>> stopped;
    {
        std::lock_guard lock(connectionsLock_);
        // A connection's stop only posts its disconnect, so holding the lock cannot block
        // against a death being reported meanwhile.
        for (const auto& connection : connections_.objects()) connection->stop();
        stopped = connections_.takeAll();
    }
    std::list<std::shared_ptr<WebSocket>> stoppedWebSockets;
    {
        std::lock_guard lock(webSocketsLock_);
        for (const auto& webSocket : webSockets_.objects()) webSocket->stop();
        stoppedWebSockets = webSockets_.takeAll();
    }
}

// ---------------------------------------------------------------------------------------------
// Connections

bool HTTPServer::respondsTo(Call call) const { return call == Call::DidAcceptNewSocket; }

void HTTPServer::didAcceptNewSocket(const std::shared_ptr<AsyncSocket>&, const std::shared_ptr<AsyncSocket>& newSocket) {
    std::shared_ptr<HTTPConnection> connection = connectionClass_ ? connectionClass_(newSocket, config()) : nullptr;
    if (!connection) {
        newSocket->disconnect();
        return;
    }
    {
        std::lock_guard lock(connectionsLock_);
        connections_.add(connection);
    }
    connection->start();
}

void HTTPServer::connectionDidDie(const platform::Notification& notification) {
    removeDyingObject(connectionsLock_, connections_, notification);
}

size_t HTTPServer::numberOfHTTPConnections() const {
    std::lock_guard lock(connectionsLock_);
    return connections_.size();
}

// ---------------------------------------------------------------------------------------------
// Web sockets

void HTTPServer::addWebSocket(std::shared_ptr<WebSocket> ws) {
    if (!ws) return;
    std::lock_guard lock(webSocketsLock_);
    // A web socket may close on its own queue before its connection hands it over; its death
    // has then been posted already and it must not be listed after it.
    if (ws->hasClosed()) return;
    webSockets_.add(std::move(ws));
}

void HTTPServer::webSocketDidDie(const platform::Notification& notification) {
    removeDyingObject(webSocketsLock_, webSockets_, notification);
}

size_t HTTPServer::numberOfWebSocketConnections() const {
    std::lock_guard lock(webSocketsLock_);
    return webSockets_.size();
}

// ---------------------------------------------------------------------------------------------
// Network-service publication

bool HTTPServer::hasNetworkServiceThread() {
    std::lock_guard lock(networkServiceMutex());
    return networkServiceQueueSlot() != nullptr;
}

void HTTPServer::publishBonjour() {
    if (!type_) return;
    netService_ = platform::NetService::create(domain_, *type_, name_, asyncSocket_->localPort());
    netService_->setDelegate(weak_from_this());
    std::optional<std::vector<uint8_t>> txtData;
    if (txtRecordDictionary_) txtData = platform::NetService::dataFromTXTRecordDictionary(*txtRecordDictionary_);
    auto queue = networkServiceQueue();
    auto service = netService_;
    performBonjourBlock([&] {
        service->scheduleOnQueue(queue);
        service->publish();
        if (txtData) service->setTXTRecordData(txtData);
    });
}

void HTTPServer::unpublishBonjour() {
    if (!netService_) return;
    auto service = netService_;
    performBonjourBlock([&] { service->stop(); });
    netService_.reset();
}

void HTTPServer::netServiceDidPublish(const std::shared_ptr<platform::NetService>&) {}

void HTTPServer::netServiceDidNotPublish(const std::shared_ptr<platform::NetService>& sender,
                                         const std::map<std::string, long>& errorDict) {
    LX_LOG_WARN(LogContextHttpServer, "Failed to Publish Service: domain(%@) type(%@) name(%@) - %@", sender->domain(),
                sender->type(), sender->name(), describeErrorDictionary(errorDict));
}
