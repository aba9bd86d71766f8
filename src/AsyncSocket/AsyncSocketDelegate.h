// What a socket tells its owner. Every call is optional: the socket posts a call only when
// the delegate says it implements it (`respondsTo`), and for the two time-out questions "not
// implemented" differs from answering 0 (not asked at all: the request times out at once).
//
// Calls arrive on the delegate queue the owner chose (`AsyncSocket::setDelegateQueue`),
// never on the socket queue unless the owner chose that one; each posted call holds the
// delegate, the socket and the arguments alive until it has run. The socket holds its
// delegate weakly.
//
// | call                                   | when                                               |
// |----------------------------------------|----------------------------------------------------|
// | newSocketQueueForConnectionFromAddress | an accepted connection needs a queue (nullptr: own) |
// | didAcceptNewSocket                     | a listening socket accepted a connection            |
// | didConnectToHost                       | an outgoing connection was established              |
// | socketDidSecure                        | the TLS handshake completed                         |
// | didReadPartialData                     | bytes of an unfinished read arrived                 |
// | didReadData                            | a read request completed                            |
// | shouldTimeoutRead                      | a read time-out fired; > 0 extends by that many s   |
// | didWritePartialData                    | part of a write was sent                            |
// | didWriteData                           | a write request completed                           |
// | shouldTimeoutWrite                     | a write time-out fired; > 0 extends                 |
// | socketDidCloseReadStream               | the peer stopped sending and half-duplex keeps open |
// | socketDidDisconnect                    | the socket closed after it started (once per start) |
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "AsyncSocket/AsyncSocketData.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Error.h"

class AsyncSocket;

class AsyncSocketDelegate {
public:
    enum class Call {
        NewSocketQueueForConnection,
        DidAcceptNewSocket,
        DidConnectToHost,
        DidSecure,
        DidReadPartialData,
        DidReadData,
        ShouldTimeoutRead,
        DidWritePartialData,
        DidWriteData,
        ShouldTimeoutWrite,
        DidCloseReadStream,
        DidDisconnect,
    };

    virtual ~AsyncSocketDelegate() = default;

    // Whether this delegate implements the call; only implemented calls are made.
    virtual bool respondsTo(Call call) const {
        (void)call;
        return false;
    }

    virtual std::shared_ptr<platform::DispatchQueue> newSocketQueueForConnectionFromAddress(
        const ByteBuffer& address, const std::shared_ptr<AsyncSocket>& sock) {
        (void)address, (void)sock;
        return nullptr;
    }
    virtual void didAcceptNewSocket(const std::shared_ptr<AsyncSocket>& sock, const std::shared_ptr<AsyncSocket>& newSocket) {
        (void)sock, (void)newSocket;
    }
    virtual void didConnectToHost(const std::shared_ptr<AsyncSocket>& sock, const std::string& host, uint16_t port) {
        (void)sock, (void)host, (void)port;
    }
    virtual void socketDidSecure(const std::shared_ptr<AsyncSocket>& sock) { (void)sock; }
    virtual void didReadPartialData(const std::shared_ptr<AsyncSocket>& sock, uint64_t partialLength, long tag) {
        (void)sock, (void)partialLength, (void)tag;
    }
    virtual void didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData& data, long tag) {
        (void)sock, (void)data, (void)tag;
    }
    virtual double shouldTimeoutRead(const std::shared_ptr<AsyncSocket>& sock, long tag, double elapsed, uint64_t bytesDone) {
        (void)sock, (void)tag, (void)elapsed, (void)bytesDone;
        return 0;
    }
    virtual void didWritePartialData(const std::shared_ptr<AsyncSocket>& sock, uint64_t partialLength, long tag) {
        (void)sock, (void)partialLength, (void)tag;
    }
    virtual void didWriteData(const std::shared_ptr<AsyncSocket>& sock, long tag) { (void)sock, (void)tag; }
    virtual double shouldTimeoutWrite(const std::shared_ptr<AsyncSocket>& sock, long tag, double elapsed, uint64_t bytesDone) {
        (void)sock, (void)tag, (void)elapsed, (void)bytesDone;
        return 0;
    }
    virtual void socketDidCloseReadStream(const std::shared_ptr<AsyncSocket>& sock) { (void)sock; }
    virtual void socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>& error) {
        (void)sock, (void)error;
    }
};
