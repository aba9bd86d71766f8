// One TCP socket - a listening socket or one connection - whose whole state lives on a
// private serial queue, the socket queue.
//
// Queues and threads:
// - Every public operation may be called from any thread. When called on the socket queue
//   (or on a queue that targets it, or one marked with markSocketQueueTargetQueue) it runs
//   inline. From elsewhere, getters, accept, connect, disconnect and destruction wait on the
//   socket queue; setters are posted. Read, write and TLS requests and the three disconnect-after requests are
//   always posted, also from the socket queue.
// - Results come only through the delegate (AsyncSocketDelegate), posted to the delegate
//   queue. Requests never fail synchronously: a request the socket cannot take is dropped
//   without a call back; a failure after the socket started closes it and is reported once,
//   as the error of socketDidDisconnect.
//
// Ownership: create sockets with AsyncSocket::create (they are shared objects; blocks posted
// to queues hold them). The socket holds its delegate weakly, its queues, sources, packets and
// buffers strongly. A write's data is held until the write completes and must not be changed
// meanwhile. An owner disconnects its socket, or detaches its delegate and delegate queue,
// before it releases it; a socket destroyed while started closes without a disconnect call.
//
// Writes never raise SIGPIPE: every send uses MSG_NOSIGNAL. Every descriptor the socket makes
// is close-on-exec, so a child process never holds a connection or the port open.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "AsyncSocket/AsyncReadPacket.h"
#include "AsyncSocket/AsyncSocketData.h"
#include "AsyncSocket/AsyncSocketDelegate.h"
#include "AsyncSocket/AsyncSocketPreBuffer.h"
#include "AsyncSocket/AsyncSpecialPacket.h"
#include "AsyncSocket/AsyncWritePacket.h"
#include "AsyncSocket/TlsSettings.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DispatchSource.h"
#include "Platform/Error.h"
#include "Platform/Tls/TlsContext.h"

inline constexpr const char* AsyncSocketErrorDomain = "AsyncSocketErrorDomain";
inline constexpr const char* AsyncSocketNetDBErrorDomain = "kCFStreamErrorDomainNetDB";
inline constexpr const char* AsyncSocketSSLErrorDomain = "kCFStreamErrorDomainSSL";

enum AsyncSocketError : long {
    AsyncSocketNoError = 0,
    AsyncSocketBadConfigError = 1,
    AsyncSocketBadParamError = 2,
    AsyncSocketConnectTimeoutError = 3,
    AsyncSocketReadTimeoutError = 4,
    AsyncSocketWriteTimeoutError = 5,
    AsyncSocketReadMaxedOutError = 6,
    AsyncSocketClosedError = 7,
    AsyncSocketOtherError = 8,
};

class AsyncSocket : public std::enable_shared_from_this<AsyncSocket> {
public:
    using DispatchQueuePtr = std::shared_ptr<platform::DispatchQueue>;
    using Error = platform::Error;

    // State bits of flags.
    enum Flag : uint32_t {
        FlagStarted = 1 << 0,
        FlagConnected = 1 << 1,
        FlagNoNewRequests = 1 << 2,
        FlagReadsPaused = 1 << 3,
        FlagWritesPaused = 1 << 4,
        FlagCloseAfterReads = 1 << 5,
        FlagCloseAfterWrites = 1 << 6,
        FlagCanWrite = 1 << 7,
        FlagReadSourceSuspended = 1 << 8,
        FlagWriteSourceSuspended = 1 << 9,
        FlagTLSQueued = 1 << 10,
        FlagTLSReadReady = 1 << 11,
        FlagTLSWriteReady = 1 << 12,
        FlagSecure = 1 << 13,
        FlagReadEOF = 1 << 14,
        FlagReadClosed = 1 << 15,
    };
    // Configuration bits of config; never reset by a close.
    enum Config : uint16_t {
        ConfigNoIPv4 = 1 << 0,
        ConfigNoIPv6 = 1 << 1,
        ConfigPreferIPv6 = 1 << 2,
        ConfigHalfDuplex = 1 << 3,
    };

    // The one initialiser: delegate (held weakly), delegate queue (none: no delegate call is
    // ever posted) and socket queue (none: a new serial queue labelled "AsyncSocket").
    static std::shared_ptr<AsyncSocket> create(std::weak_ptr<AsyncSocketDelegate> delegate = {},
                                               DispatchQueuePtr delegateQueue = nullptr,
                                               DispatchQueuePtr socketQueue = nullptr);
    static std::shared_ptr<AsyncSocket> createWithSocketQueue(DispatchQueuePtr socketQueue) {
        return create({}, nullptr, std::move(socketQueue));
    }
    ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // Delegate and configuration.
    std::shared_ptr<AsyncSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<AsyncSocketDelegate> delegate);
    void synchronouslySetDelegate(std::weak_ptr<AsyncSocketDelegate> delegate);
    DispatchQueuePtr delegateQueue() const;
    void setDelegateQueue(DispatchQueuePtr queue);
    void synchronouslySetDelegateQueue(DispatchQueuePtr queue);
    void getDelegate(std::shared_ptr<AsyncSocketDelegate>* delegatePtr, DispatchQueuePtr* delegateQueuePtr) const;
    void setDelegate(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr queue);
    void synchronouslySetDelegate(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr queue);

    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4PreferredOverIPv6() const;
    void setPreferIPv4OverIPv6(bool preferred);

    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> data);

    bool usingCFStreamForTLS() const { return false; }
    bool usingSecureTransportForTLS() const { return true; }

    // Listening and accepting. Interface: nullopt or "" = all addresses, "localhost" /
    // "loopback", an interface name or a numeric address, optionally followed by ":port".
    // Returns true when listening started; else false with the error in *errPtr.
    //
    // An accept that fails for want of resources (EMFILE, ENFILE, ENOBUFS, ENOMEM) leaves
    // the connection in the listen backlog and stops the watch of the listening descriptors
    // for kAcceptPauseMilliseconds, or until a socket it accepted closes its descriptor,
    // whichever comes first; then they are looked at again. A shortage writes one
    // plain log line, "Accepting paused for 500 ms: <reason>", at its first failure; it
    // lasts until a pass of accepts ends without such a failure, a pause or more after the
    // last one. Every other failing accept only ends the pass, as before.
    bool acceptOnPort(uint16_t port, Error* errPtr = nullptr);
    bool acceptOnInterface(const std::optional<std::string>& interface, uint16_t port, Error* errPtr = nullptr);
    static constexpr int kAcceptPauseMilliseconds = 500;

    // The most sockets a listening socket keeps accepted at once: while that many of the
    // sockets it accepted still hold their descriptors, the listening descriptors are not
    // watched and further connections wait in the listen backlog (neither accepted nor
    // reset); the next one is accepted as soon as one of them closes its descriptor. 0 (the
    // default): no limit. Kept across closes, like the configuration; sockets accepted before
    // a close still count after a new start. The setter is posted like the other setters.
    void setAcceptLimit(size_t limit);
    size_t acceptLimit() const;

    // Connecting. host: a name or a numeric address; interface as for accepting (nullopt: any
    // local address); timeout in seconds, negative = none (pass it as a double: 0.0). The name
    // lookup runs on the global concurrent queue; the connect itself holds no thread: the
    // socket queue hears when it ends, and a disconnect, time-out or release ends it at any
    // moment and closes its descriptor. Returns true when the attempt started: it ends in
    // didConnectToHost, or in socketDidDisconnect with the lookup, connect or time-out error.
    // Else false with the error in *errPtr.
    bool connectToHost(const std::string& host, uint16_t port, Error* errPtr = nullptr);
    bool connectToHost(const std::string& host, uint16_t port, double timeout, Error* errPtr = nullptr);
    bool connectToHost(const std::string& host, uint16_t port, const std::optional<std::string>& interface, double timeout,
                       Error* errPtr = nullptr);
    // address: a socket address as this platform lays it out (sockaddr_in, 16 bytes, or
    // sockaddr_in6, 28 bytes).
    bool connectToAddress(const ByteBuffer& address, Error* errPtr = nullptr);
    bool connectToAddress(const ByteBuffer& address, double timeout, Error* errPtr = nullptr);
    bool connectToAddress(const ByteBuffer& address, const std::optional<std::string>& interface, double timeout,
                          Error* errPtr = nullptr);

    // State queries.
    bool isDisconnected() const;
    bool isConnected() const;
    bool isSecure() const;
    bool isIPv4() const;
    bool isIPv6() const;
    std::optional<std::string> connectedHost() const;
    uint16_t connectedPort() const;
    std::optional<std::string> localHost() const;
    uint16_t localPort() const;
    std::optional<ByteBuffer> connectedAddress() const;
    std::optional<ByteBuffer> localAddress() const;

    // Closing.
    void disconnect();
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    // Reads. timeout in seconds, negative = none; tag comes back in the callbacks; buffer
    // nullptr = the read makes its own; invalid requests are dropped without a call back.
    void readData(double timeout, long tag);
    void readData(double timeout, ByteBufferPtr buffer, uint64_t offset, long tag);
    void readData(double timeout, ByteBufferPtr buffer, uint64_t offset, uint64_t maxLength, long tag);
    void readDataToLength(uint64_t length, double timeout, long tag);
    void readDataToLength(uint64_t length, double timeout, ByteBufferPtr buffer, uint64_t offset, long tag);
    void readDataToData(const ByteBuffer& data, double timeout, long tag);
    void readDataToData(const ByteBuffer& data, double timeout, ByteBufferPtr buffer, uint64_t offset, long tag);
    void readDataToData(const ByteBuffer& data, double timeout, uint64_t maxLength, long tag);
    void readDataToData(const ByteBuffer& data, double timeout, ByteBufferPtr buffer, uint64_t offset,
                        uint64_t maxLength, long tag);
    // NaN when no read is current.
    float progressOfRead(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const;

    // Writes. Empty data is dropped without a call back.
    void writeData(std::shared_ptr<const ByteBuffer> data, double timeout, long tag);
    void writeData(ByteBuffer data, double timeout, long tag);
    float progressOfWrite(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const;

    // TLS: queued behind the reads and writes already requested; later requests wait for the
    // handshake. A socket upgrades at most once; a second request is dropped.
    void startTLS(TlsSettings settings = {});

    // Utilities.
    // Constant terminators, one shared immutable buffer each (a server reads every header
    // line up to CRLFData).
    static const ByteBuffer& CRLFData();
    static const ByteBuffer& CRData();
    static const ByteBuffer& LFData();
    static const ByteBuffer& ZeroData();
    // Addresses are socket address structures as this platform lays them out (sockaddr_in,
    // 16 bytes; sockaddr_in6, 28 bytes).
    static bool getHost(std::string* hostPtr, uint16_t* portPtr, const ByteBuffer& address);
    static std::optional<std::string> hostFromAddress(const ByteBuffer& address);
    static uint16_t portFromAddress(const ByteBuffer& address);
    static std::string hostFromSockaddr4(const struct sockaddr_in* address);
    static std::string hostFromSockaddr6(const struct sockaddr_in6* address);
    static uint16_t portFromSockaddr4(const struct sockaddr_in* address);
    static uint16_t portFromSockaddr6(const struct sockaddr_in6* address);

    // Test hook: makes the read sources of listening descriptors in place of the dispatch
    // layer, so that a test can fail one; an empty maker restores the dispatch layer.
    using ListeningSourceMaker =
        std::function<std::shared_ptr<platform::DispatchSource>(int fd, const DispatchQueuePtr& queue)>;
    static void setListeningSourceMakerForTesting(ListeningSourceMaker maker);
    // Test hook: resolves host names for connectToHost in place of getaddrinfo (same
    // arguments and result), so that a test can make a lookup slow or fail; an empty lookup
    // restores getaddrinfo.
    using AddressLookup =
        std::function<int(const char* host, const char* service, const struct addrinfo* hints, struct addrinfo** result)>;
    static void setAddressLookupForTesting(AddressLookup lookup);

    // Queue-bound accessors: meaningful only on the socket queue (-1 / nullptr elsewhere).
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;
    platform::TlsContext* sslContext() const;
    bool autoDisconnectOnClosedReadStream() const;
    void setAutoDisconnectOnClosedReadStream(bool flag);
    // Marks a queue so that code running on it counts as on the socket queue (runs inline).
    // Only a queue that the socket queue runs on (its target, or further up its chain), or
    // one that runs on the socket queue, can be marked: their tasks never run alongside the
    // socket queue's. Any other queue is refused (false) and stays unmarked. The owner unmarks
    // a queue that outlives the socket before it lets the socket go: a mark left behind would
    // count for a later socket made at the same address.
    bool markSocketQueueTargetQueue(const DispatchQueuePtr& queue);
    void unmarkSocketQueueTargetQueue(const DispatchQueuePtr& queue);
    // Runs the block on the socket queue (directly when already there) and waits for it.
    void performBlock(const std::function<void()>& block);

    // The TLS engine's transport callbacks (socket queue only).
    platform::TlsStatus sslReadWithBuffer(void* buffer, size_t* length);
    platform::TlsStatus sslWriteWithBuffer(const void* buffer, size_t* length);

    // Error values of the socket layer.
    static Error badConfigError(const std::string& message);
    static Error badParamError(const std::string& message);
    static Error gaiError(int code);
    static Error errnoErrorWithReason(const std::string& reason);
    static Error errnoError();
    static Error sslError(platform::TlsStatus status);
    static Error connectTimeoutError();
    static Error readMaxedOutError();
    static Error readTimeoutError();
    static Error writeTimeoutError();
    static Error connectionClosedError();
    static Error otherError(const std::string& message);

private:
    AsyncSocket(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr delegateQueue, DispatchQueuePtr socketQueue);

    // One entry of the read or write queue: a packet or the TLS marker.
    struct QueuedRead {
        std::shared_ptr<AsyncReadPacket> packet;
        std::shared_ptr<AsyncSpecialPacket> tls;
        explicit operator bool() const { return packet || tls; }
    };
    struct QueuedWrite {
        std::shared_ptr<AsyncWritePacket> packet;
        std::shared_ptr<AsyncSpecialPacket> tls;
        explicit operator bool() const { return packet || tls; }
    };

    bool onSocketQueue() const;
    template <class F>
    auto onQueueSync(F&& fn) const;
    template <class F>
    void onQueueAsync(F&& fn);
    template <class F>
    void postAsync(F&& fn);

    template <class F>
    void postDelegate(AsyncSocketDelegate::Call call, F&& fn);

    // Closing.
    void closeWithError(std::optional<Error> error);
    void maybeClose();

    // Connecting. The lookup runs on the global concurrent queue; everything else on the
    // socket queue. A result whose connect index is no longer current is dropped.
    bool preConnectWithInterface(const std::optional<std::string>& interface, Error* errPtr);
    static void lookup(const std::weak_ptr<AsyncSocket>& socket, int aConnectIndex, const std::string& host, uint16_t port);
    void lookup(int aConnectIndex, const std::optional<ByteBuffer>& address4, const std::optional<ByteBuffer>& address6);
    void lookup(int aConnectIndex, const Error& error);
    bool connectWithAddress(const std::optional<ByteBuffer>& address4, const std::optional<ByteBuffer>& address6,
                            Error* errPtr);
    // Cancels and drops the source that watches a connect under way, if any.
    void endConnectSource();
    void didConnect(int aConnectIndex);
    void didNotConnect(int aConnectIndex, const Error& error);
    void startConnectTimeout(double timeout);
    void doConnectTimeout();
    void endConnectTimeout();

    // Accepting.
    int createListeningSocket(int domain, const ByteBuffer& address, Error* errPtr);
    void getInterfaceAddress(std::optional<ByteBuffer>* address4Ptr, std::optional<ByteBuffer>* address6Ptr,
                             const std::optional<std::string>& description, uint16_t port) const;
    bool doAccept(int parentFD);
    // Stops the watch of the listening descriptors for a while: accept found no descriptor,
    // memory or buffer for a connection (error is its errno).
    void pauseAcceptingForResources(int error);
    void endAcceptPause();
    // A socket this listening socket accepted has closed its descriptor.
    void acceptedSocketClosed();
    // Suspends the accept sources while a pause or the accept limit holds, and resumes them
    // once neither does.
    void updateAcceptSources();
    void setupReadAndWriteSourcesForNewlyConnectedSocket(int fd);

    // Addresses of the descriptors.
    std::optional<std::string> connectedHostFromSocket(int fd) const;
    uint16_t connectedPortFromSocket(int fd) const;
    std::optional<std::string> localHostFromSocket(int fd) const;
    uint16_t localPortFromSocket(int fd) const;
    uint16_t localPort4() const { return socket4FD_ == -1 ? 0 : localPortFromSocket(socket4FD_); }
    int currentFD() const { return socket4FD_ != -1 ? socket4FD_ : socket6FD_; }

    // Sources.
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();

    // Reading.
    void enqueueRead(std::shared_ptr<AsyncReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
    void completeCurrentRead();
    void endCurrentRead();
    void setupReadTimerWithTimeout(double timeout);
    void doReadTimeout();
    void doReadTimeoutWithExtension(double extension);

    // Writing.
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();
    void setupWriteTimerWithTimeout(double timeout);
    void doWriteTimeout();
    void doWriteTimeoutWithExtension(double extension);

    // The time-out timer of one kind of operation. Its source is made once and set again for
    // each operation (a keep-alive connection reads and writes many times), instead of a
    // source made and cancelled per operation.
    struct OperationTimer {
        std::shared_ptr<platform::DispatchSource> source;
        void (AsyncSocket::*onTimeout)() = nullptr;  // nullptr: stopped
    };

    // The one-shot time-out of an operation: the timer in slot calls onTimeout on the socket
    // queue after timeout seconds, unless it is started again or stopped by then (a fire of
    // an earlier schedule that has not run yet is dropped). Socket queue only.
    void startTimer(OperationTimer AsyncSocket::*slot, double timeout, void (AsyncSocket::*onTimeout)());
    // Stops the timer: it times out nothing until started again; its source stays for the
    // next operation. Socket queue only.
    void stopTimer(OperationTimer& timer);
    // Cancels and drops the timer's source. Socket queue only.
    void cancelTimer(OperationTimer& timer);

    // TLS.
    void maybeStartTLS();
    void ssl_startTLS();
    void ssl_continueSSLHandshake();
    void flushSSLBuffers();
    void doHandshakeTimeout();

    // All fields below are touched only on the socket queue.
    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    std::weak_ptr<AsyncSocketDelegate> delegate_;
    DispatchQueuePtr delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int connectIndex_ = 0;
    std::optional<ByteBuffer> connectInterface4_;
    std::optional<ByteBuffer> connectInterface6_;
    DispatchQueuePtr socketQueue_;
    std::shared_ptr<platform::DispatchSource> accept4Source_;
    std::shared_ptr<platform::DispatchSource> accept6Source_;
    // Listening: whether both accept sources are suspended (by updateAcceptSources), whether a
    // pause for want of resources is under way (acceptPauseTimer_ ends it), and whether the
    // shortage it belongs to has been logged (until a pass of accepts ends without one).
    bool acceptSourcesSuspended_ = false;
    bool acceptPausedForResources_ = false;
    bool acceptShortOfResources_ = false;
    std::chrono::steady_clock::time_point acceptShortageLastFailure_;
    OperationTimer acceptPauseTimer_;
    // Listening: the accept limit, and the sockets accepted whose descriptors are still open.
    size_t acceptLimit_ = 0;
    size_t acceptedSockets_ = 0;
    // An accepted socket: its place among the listening socket's accepted sockets, given back
    // (to acceptedSocketClosed) when the last reference goes, right after its descriptor is
    // closed.
    std::shared_ptr<void> acceptedSlot_;
    OperationTimer connectTimer_;
    // Watches the descriptor while its connect is under way: writable once the connect ends.
    std::shared_ptr<platform::DispatchSource> connectSource_;
    std::shared_ptr<platform::DispatchSource> readSource_;
    std::shared_ptr<platform::DispatchSource> writeSource_;
    OperationTimer readTimer_;
    OperationTimer writeTimer_;
    std::deque<QueuedRead> readQueue_;
    std::deque<QueuedWrite> writeQueue_;
    QueuedRead currentRead_;
    QueuedWrite currentWrite_;
    uint64_t socketFDBytesAvailable_ = 0;
    AsyncSocketPreBuffer preBuffer_;
    std::unique_ptr<platform::TlsContext> sslContext_;
    std::unique_ptr<AsyncSocketPreBuffer> sslPreBuffer_;
    uint64_t sslWriteCachedLength_ = 0;
    int32_t sslErrCode_ = 0;
    const void* isOnSocketQueueOrTargetQueueKey_;
    std::shared_ptr<void> userData_;
};
