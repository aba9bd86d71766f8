// The HTTP server: the listening socket, the two serial queues all server and connection work
// runs on, the configuration (connection class, interface, port, document root,
// network-service fields) and the lists of live connections and web sockets.
//
// Queues:
// - "HTTPServer" (serverQueue): every property read and store, start, stop and every accept
//   callback. Getters and start/stop wait on it synchronously; setters copy their argument in
//   the caller and store it asynchronously, so a setter returns at once and its store lands
//   before any later synchronous operation. Never call a getter, start or stop from the server
//   queue itself (they would wait for themselves).
// - "HTTPConnection" (connectionQueue): one queue shared by every connection.
//
// Connections: each accepted socket becomes one connection made by the connection class (a
// factory; setConnectionClass<T>() for a class T derived from HTTPConnection), kept in the
// connection list from its accept until it posts "HTTPConnectionDidDie". The list is guarded
// by its own lock, since it is appended to on the server queue and removed from on the
// connection queue; a death takes its connection out without a walk of the list.
//
// The bound: at most maxConnections sockets are accepted and open at once; further clients
// wait in the listen backlog until one closes (the listening socket's accept limit). Unless
// a bound is set, each start derives it from the process's descriptor limit, leaving room for
// the descriptors the rest of the program needs (keychain files, the card service, downloads,
// logging).
//
// Web sockets: a connection that upgrades hands its web socket over with addWebSocket (from
// the connection queue); the server keeps it until it posts "WebSocketDidDie" (from its own
// queue). That list has a lock of its own. Stopping the server stops them too.
//
// Network-service publication (multicast DNS) happens only when a type is set, which this
// system never does; it then runs on one network-service thread per process.
//
// Ownership: make the server with create(); it is shared. It holds its connections and web
// sockets; the
// listening socket and the notification centre hold it weakly. Releasing the last reference
// stops it (listening ends; connections are stopped).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AsyncSocket/AsyncSocket.h"
#include "Core/HTTPConfig.h"
#include "Core/HTTPConnection.h"
#include "Core/WebSocket.h"
#include "Core/detail/LiveObjectList.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Error.h"
#include "Platform/Notifications/NotificationCenter.h"
#include "Platform/ServicePublication/NetService.h"

class HTTPServer : public AsyncSocketDelegate,
                   public platform::NetServiceDelegate,
                   public std::enable_shared_from_this<HTTPServer> {
public:
    // The connection class: makes one connection for an accepted socket and its configuration.
    using ConnectionClass =
        std::function<std::shared_ptr<HTTPConnection>(std::shared_ptr<AsyncSocket>, std::shared_ptr<HTTPConfig>)>;
    using TXTRecordDictionary = std::map<std::string, std::string>;

    // init: the queues, the listening socket, the defaults (class HTTPConnection, no interface,
    // port 0, domain "local.", name "", no type) and the death observer.
    static std::shared_ptr<HTTPServer> create();
    ~HTTPServer() override;
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Getters (synchronous on the server queue).
    std::optional<std::string> documentRoot() const;
    ConnectionClass connectionClass() const;
    std::optional<std::string> interface() const;
    uint16_t port() const;
    std::string domain() const;
    std::string name() const;
    std::optional<std::string> type() const;
    std::optional<TXTRecordDictionary> txtRecordDictionary() const;
    bool isRunning() const;
    // The listening socket's port while running, else 0.
    uint16_t listeningPort() const;
    // The published service's name, or nullopt when none is published.
    std::optional<std::string> publishedName() const;

    // Setters (asynchronous on the server queue).
    void setDocumentRoot(std::optional<std::string> value);
    void setConnectionClass(ConnectionClass value);
    template <class T>
    void setConnectionClass() {
        setConnectionClass([](std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config) {
            return std::static_pointer_cast<HTTPConnection>(HTTPConnection::create<T>(std::move(socket), std::move(config)));
        });
    }
    void setPort(uint16_t value);
    void setInterface(std::optional<std::string> value);
    void setDomain(std::string value);
    void setName(std::string value);
    void setType(std::optional<std::string> value);
    void setTXTRecordDictionary(std::optional<TXTRecordDictionary> value);
    // The time-outs handed to every new connection (production values by default; tests
    // lower them).
    void setConnectionTimeouts(HTTPConnectionTimeouts value);
    // The most connections open at once, for the starts that follow; 0 (the default): derived
    // from the descriptor limit at each start (connectionLimitForDescriptors).
    void setMaxConnections(size_t value);

    // The bound on connections for a process that may open `descriptors` descriptors: all of
    // them but a reserve for everything else, a quarter of them, at least 32 and at most 256;
    // half of them when there are too few for that. Never 0.
    static size_t connectionLimitForDescriptors(uint64_t descriptors);

    // Starts listening (synchronous on the server queue). On failure logs "%@: Failed to start
    // HTTP Server: %@", answers false and stores the socket layer's error in *errPtr.
    bool start(platform::Error* errPtr = nullptr);
    // Stops listening; unless keepExistingConnections, also stops every connection and web
    // socket and empties both lists (synchronous on the server queue).
    void stop(bool keepExistingConnections = false);

    // A new configuration for a connection: this server, the document root, the connection
    // queue. Used on the server queue.
    std::shared_ptr<HTTPConfig> config() const;

    // Any thread (a connection hands its web socket over from the connection queue): keeps
    // the web socket until it dies; one that has closed already is not kept.
    void addWebSocket(std::shared_ptr<WebSocket> ws);

    // Any thread, under the list's lock.
    size_t numberOfHTTPConnections() const;
    size_t numberOfWebSocketConnections() const;

    const std::shared_ptr<platform::DispatchQueue>& serverQueue() const { return serverQueue_; }
    const std::shared_ptr<platform::DispatchQueue>& connectionQueue() const { return connectionQueue_; }

    // Whether the process's network-service thread has been made (it is made on the first
    // publication only).
    static bool hasNetworkServiceThread();

    // Socket delegate calls (server queue).
    bool respondsTo(Call call) const override;
    void didAcceptNewSocket(const std::shared_ptr<AsyncSocket>& sock, const std::shared_ptr<AsyncSocket>& newSocket) override;

    // Network-service delegate calls (network-service thread).
    void netServiceDidPublish(const std::shared_ptr<platform::NetService>& sender) override;
    void netServiceDidNotPublish(const std::shared_ptr<platform::NetService>& sender,
                                 const std::map<std::string, long>& errorDict) override;

private:
    HTTPServer();
    bool onServerQueue() const;
    void connectionDidDie(const platform::Notification& notification);
    void webSocketDidDie(const platform::Notification& notification);
    void stopOnQueue(bool keepExistingConnections);
    void publishBonjour();
    void unpublishBonjour();

    std::shared_ptr<AsyncSocket> asyncSocket_;
    std::shared_ptr<platform::DispatchQueue> serverQueue_;
    std::shared_ptr<platform::DispatchQueue> connectionQueue_;

    // Touched only on serverQueue_.
    std::optional<std::string> documentRoot_;
    ConnectionClass connectionClass_;
    std::optional<std::string> interface_;
    uint16_t port_ = 0;
    std::shared_ptr<platform::NetService> netService_;
    std::string domain_ = "local.";
    std::optional<std::string> type_;
    std::string name_;
    std::optional<TXTRecordDictionary> txtRecordDictionary_;
    HTTPConnectionTimeouts connectionTimeouts_;
    size_t maxConnections_ = 0;
    bool isRunning_ = false;

    mutable std::mutex connectionsLock_;
    core_detail::LiveObjectList<HTTPConnection> connections_;  // guarded by connectionsLock_
    mutable std::mutex webSocketsLock_;
    core_detail::LiveObjectList<WebSocket> webSockets_;  // guarded by webSocketsLock_

    platform::NotificationCenter::Token deathObserver_ = 0;
    platform::NotificationCenter::Token webSocketDeathObserver_ = 0;
};
