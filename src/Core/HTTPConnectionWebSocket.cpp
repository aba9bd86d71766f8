// HTTPConnection: handing an upgraded socket over to its web socket.
#include "Core/HTTPConnection.h"

#include "Core/HTTPServer.h"
#include "Core/WebSocket.h"

#include "Core/detail/HTTPConnectionInternal.h"

void HTTPConnection::handOverToWebSocket(const std::string& uri) {
    std::shared_ptr<WebSocket> webSocket = webSocketForURI(uri);
    if (!webSocket) {
        handleResourceNotFound();
        return;
    }
    webSocket->start();
    if (std::shared_ptr<HTTPServer> server = config_->server()) server->addWebSocket(webSocket);
    if (asyncSocket_->delegate().get() == static_cast<AsyncSocketDelegate*>(this)) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: WebSocket forgot to set itself as socket delegate", THIS_FILE,
                    static_cast<const void*>(this));
        asyncSocket_->disconnect();
        return;
    }
    // The web socket owns the socket from here on.
    asyncSocket_.reset();
    die();
}
