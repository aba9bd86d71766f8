// One accepted client socket of the HTTP server: it starts TLS when the subclass is a secure
// server with an identity, reads requests one after another (header lines, then a body given
// by "Content-Length" or in chunks), refuses what it cannot accept, asks the subclass for a
// response object and sends it (whole, chunked or in byte ranges), then keeps the connection
// for the next request or closes it. When its socket goes away it dies: it posts
// "HTTPConnectionDidDie" with itself as object, and the server drops it from its list.
//
// Making one: HTTPConnection::create<T>(socket, config) (T = this class or a subclass). The
// connection becomes the socket's delegate on its queue; the server then calls start().
// A connection whose client has gone by the time it starts on its queue (reset, or closed
// without sending anything) is closed and dies at once: it asks no hook, looks up no identity.
//
// Queues: every step - socket callbacks, hooks, replies, death - runs on the connection queue,
// the configuration's queue (the server's one "HTTPConnection" queue shared by every
// connection) or, without one, a new serial queue of its own. start(), stop(),
// responseHasAvailableData() and responseDidAbort() may be called from any thread: they only
// post to that queue. Everything else, hooks included, is called on the connection queue
// only.
//
// Limits: header lines of at most 8190 bytes, at most 100 lines before the empty line (the
// footer lines of a chunked body go on counting), request bodies read in pieces of at most
// 524288 bytes and of at most kMaxRequestBodyLength bytes in all (413 and close beyond), and
// every read bounded by the read time-out (30 s): an idle kept connection closes 30 s after
// its last reply. At most 524288 body bytes of a reply wait in the socket's write queue.
//
// Subclasses override the hooks below (virtual functions with the base behaviour described at
// each). A hook that answers the request itself - a gate calling handleForbiddenResource()
// from httpResponseForMethod() and returning nullptr - gets that reply alone: the connection
// adds nothing for the request.
//
// Ownership: the server's list keeps the connection alive; the socket holds it weakly as
// its delegate, and every call the socket posts holds it until it has run.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "AsyncSocket/AsyncSocket.h"
#include "Core/Categories/LxRange.h"
#include "Core/HTTPConfig.h"
#include "Core/HTTPMessage.h"
#include "Core/Responses/HTTPResponse.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Tls/TlsIdentity.h"

class WebSocket;

// The notification a dying connection posts, synchronously on its queue, with itself as object.
inline constexpr const char* HTTPConnectionDidDieNotification = "HTTPConnectionDidDie";

class HTTPConnection : public AsyncSocketDelegate, public std::enable_shared_from_this<HTTPConnection> {
public:
    using Bytes = std::vector<uint8_t>;

    // Request side.
    static constexpr size_t kMaxHeaderLineLength = 8190;
    static constexpr uint32_t kMaxHeaderLines = 100;
    static constexpr uint64_t kMaxChunkLineLength = 200;
    static constexpr uint64_t kRequestBodyPieceLength = 524288;
    // A request body longer than this - declared or received - is refused with 413: nothing a
    // page or a local process sends may make the connection hold more.
    static constexpr uint64_t kMaxRequestBodyLength = 100ull * 1024 * 1024;
    static constexpr uint64_t kChunkedContentLength = UINT64_MAX;
    // Reply side.
    static constexpr uint64_t kMaxResponseQueueSize = 524288;
    // A whole body up to this length is written together with its header.
    static constexpr uint64_t kSmallResponseLength = 16384;

    // Socket tags of reads and writes.
    enum Tag : long {
        TagRequestHeader = 10,
        TagRequestBody = 11,
        TagRequestChunkSize = 12,
        TagRequestChunkData = 13,
        TagRequestChunkTrailer = 14,
        TagRequestChunkFooter = 15,
        TagPartialResponse = 20,
        TagPartialResponseHeader = 21,
        TagPartialResponseBody = 22,
        TagChunkedResponseHeader = 30,
        TagChunkedResponseBody = 31,
        TagChunkedResponseFooter = 32,
        TagPartialRangeResponseBody = 40,
        TagPartialRangesResponseBody = 50,
        TagResponse = 90,
        TagFinalResponse = 91,
    };

    // initWithAsyncSocket:configuration: for class T, which must be constructible from
    // (socket, config). The connection becomes the socket's delegate on its queue.
    template <class T = HTTPConnection>
    static std::shared_ptr<T> create(std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config) {
        auto connection = std::make_shared<T>(std::move(socket), std::move(config));
        static_cast<HTTPConnection&>(*connection).attachToSocket();
        return connection;
    }

    // Prefer create(); a connection made directly must not be used before attachToSocket
    // has run (create does both).
    HTTPConnection(std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config);
    ~HTTPConnection() override;
    HTTPConnection(const HTTPConnection&) = delete;
    HTTPConnection& operator=(const HTTPConnection&) = delete;

    // Any thread. The first call begins the connection (TLS, then the first header read);
    // later calls do nothing.
    void start();
    // Any thread. Asks the socket to disconnect; the connection then dies.
    void stop();

    // Any thread: a response tells its connection that more body is available, or that it
    // gave up (the connection then closes after the writes already queued). A sender that is
    // not the current response is logged and ignored.
    void responseHasAvailableData(const HTTPResponse* sender);
    void responseDidAbort(const HTTPResponse* sender);

    // Connection queue only, from here on.
    const std::shared_ptr<platform::DispatchQueue>& connectionQueue() const { return connectionQueue_; }
    const std::shared_ptr<HTTPConfig>& config() const { return config_; }
    // The socket; nullptr once it has reported its disconnection.
    const std::shared_ptr<AsyncSocket>& asyncSocket() const { return asyncSocket_; }
    // The request being read or answered (a subclass's processBodyData appends the body to
    // it); nullptr between a reply's end and the next request.
    const std::shared_ptr<HTTPMessage>& request() const { return request_; }
    // The target as written in the request line; nullopt when there is no request (line).
    std::optional<std::string> requestURI() const;
    // The query parameters of the request (nullopt unless the header is complete and the URL
    // has a query), and the parsing rule they use: "&"-separated key=value pairs,
    // percent-decoded; a pair whose value cannot be decoded maps its key to nullopt.
    std::optional<std::map<std::string, std::optional<std::string>>> parseGetParams() const;
    static std::map<std::string, std::optional<std::string>> parseParams(const std::string& query);

    // Body bytes queued on the socket and not yet written.
    uint64_t writeQueueSize() const;
    static Bytes chunkedTransferSizeLineForLength(uint64_t length);
    static Bytes chunkedTransferFooter();
    // "Wed, 09 Dec 2026 07:50:24 GMT" for a time in seconds since 1970. The text is the
    // calling thread's, valid until its next call.
    static const std::string& dateAsString(int64_t secondsSince1970);

    // What the identity lookup of a secure connection found: one of three outcomes.
    struct ServerIdentity {
        enum class Kind {
            Found,              // TLS with identity (an invalid identity counts as None)
            None,               // no identity can be had: the connection serves plain HTTP
            UnavailableForNow,  // the lookup failed for a reason that may pass: the connection
                                // is closed without reading from it, and the next one looks again
        };
        Kind kind = Kind::None;
        platform::TlsIdentity identity;  // Found only

        static ServerIdentity found(platform::TlsIdentity identity) { return {Kind::Found, std::move(identity)}; }
        static ServerIdentity none() { return {}; }
        static ServerIdentity unavailableForNow() { return {Kind::UnavailableForNow, {}}; }
    };

    // ----- Hooks: override in a subclass. -----
    // false.
    virtual bool isSecureServer();
    // The TLS identity (private key and certificate chain), none (plain HTTP) or none for now
    // (closed unread; never plain HTTP). Asked once, at start, and only when isSecureServer()
    // answers true and the client is still there. The base answers none.
    virtual ServerIdentity sslIdentityAndCertificates();
    // true for "GET" and "HEAD" (exact).
    virtual bool supportsMethod(const std::string& method, const std::string& path);
    // true for "POST" and "PUT" (exact).
    virtual bool expectsRequestBodyFromMethod(const std::string& method, const std::string& path);
    // Body hooks, only for methods that expect a body: the size (kChunkedContentLength for a
    // chunked body) once before the first byte; each piece in order; once after the last.
    // The base does nothing.
    virtual void prepareForBodyWithSize(uint64_t contentLength);
    virtual void processBodyData(std::span<const uint8_t> postDataChunk);
    virtual void finishBody();
    // Authentication. A path for which isPasswordProtected answers true (the base protects
    // none) is served only when isAuthenticated accepts the request's "Authorization" field;
    // otherwise the reply is 401 with the challenge of the scheme in use.
    // - Digest (useDigestAccessAuthentication, the default): qop "auth" (RFC 2617) with MD5;
    //   the field's uri must be the request target as written, and its nonce one this class
    //   issued in a challenge less than kNonceLifetime ago - or the one this connection
    //   adopted already, which it keeps accepting for its whole life - with a nonce count
    //   greater than every count accepted before on this connection. A field that lacks a
    //   parameter the computation needs is refused as it stands, and so is every field when
    //   the crypto library cannot make an MD5 digest (a configuration without it): no digest
    //   is ever taken to match. A nonce this process made but no longer holds (pushed out of
    //   the list, or past its life) never admits either; when the field's response is right
    //   for it, the 401 challenge says "stale=true" with its fresh nonce, so that the client
    //   retries with that one instead of asking its user again. A nonce the process did not
    //   make, or a wrong response, gets the plain challenge.
    // - Basic: "user:password" in Base64, compared with passwordForUser.
    // The response and the password are compared in constant time.
    // passwordForUser answers nullopt for an unknown user (the base knows none).
    virtual bool isPasswordProtected(const std::string& path);
    virtual bool useDigestAccessAuthentication();
    virtual std::string realm();
    virtual std::optional<std::string> passwordForUser(const std::string& username);
    virtual bool isAuthenticated();
    // "WWW-Authenticate" of the 401 reply: digest with the realm, qop "auth" and a fresh
    // nonce (generateNonce), then ", stale=true" when isAuthenticated last refused a right
    // response on a dropped nonce; or basic with the realm.
    virtual void addDigestAuthChallenge(HTTPMessage& response);
    virtual void addBasicAuthChallenge(HTTPMessage& response);

    // The digest nonces every connection shares, kept on their own serial queue
    // ("HTTPConnection-Nonce"). Any thread, but not that queue.
    static constexpr std::chrono::seconds kNonceLifetime{300};
    // At most this many nonces are known at once: every 401 issues one, so a client that
    // asks without credentials again and again would otherwise fill memory for
    // kNonceLifetime. When the list is full, a new nonce pushes out the oldest one before
    // its life is over (a client holding it gets a fresh challenge).
    static constexpr size_t kMaxRecentNonces = 4096;
    // A new nonce (a UUID text), adoptable by any connection for kNonceLifetime, unless
    // kMaxRecentNonces newer ones push it out first. Half of its bytes are an HMAC of the
    // other half under a random key of the process, by which the process knows its own
    // nonces once it has dropped them.
    static std::string generateNonce();
    // Whether the nonce was issued less than kNonceLifetime ago.
    static bool hasRecentNonce(const std::string& nonce);
    // The clock the nonce lifetime is measured on; tests move it on. nullptr: the steady clock.
    static void setNonceClock(std::function<std::chrono::steady_clock::time_point()> clock);
    // The response for the request, or nullptr (answered 404 unless the hook queued an error
    // reply itself). The base looks the URI up under the document root.
    virtual std::shared_ptr<HTTPResponse> httpResponseForMethod(const std::string& method, const std::string& path);
    // The web socket for an upgrade request (WebSocket::isWebSocketRequest), made with
    // WebSocket::create(request(), asyncSocket()); nullptr answers 404, which the base always
    // does. The connection starts the web socket, hands it to the server and dies, leaving
    // the socket to it.
    virtual std::shared_ptr<WebSocket> webSocketForURI(const std::string& path);
    // Sets "Date" and "Accept-Ranges", then the current response's own fields; returns the
    // serialised header. The error form does the same for error replies.
    virtual Bytes preprocessResponse(HTTPMessage& response);
    virtual Bytes preprocessErrorResponse(HTTPMessage& response);
    // File lookup under the document root: the path of the URI, escapes decoded; nullopt
    // when it leaves the root, when it holds a NUL byte ("%00"), or for a directory without
    // an index file unless directories are allowed.
    virtual std::vector<std::string> directoryIndexFileNames();
    virtual std::optional<std::string> filePathForURI(const std::string& path);
    virtual std::optional<std::string> filePathForURI(const std::string& path, bool allowDirectory);
    // The response for an existing file that is not a directory: the base reads it on the
    // connection queue (HTTPFileResponse); nullptr when it cannot be served.
    virtual std::shared_ptr<HTTPResponse> fileResponseForPath(const std::string& filePath);
    // The keep-alive rule, asked after the last write of a reply.
    virtual bool shouldDie();
    // Posts "HTTPConnectionDidDie" (after the response's connectionDidClose).
    virtual void die();
    // Error replies ("Content-Length" 0, "Date", "Accept-Ranges").
    virtual void handleVersionNotSupported(const std::string& version);  // 505, keep-alive rule
    virtual void handleAuthenticationFailed();                           // 401, keep-alive rule
    virtual void handleInvalidRequest(std::span<const uint8_t> data);    // 400, close
    virtual void handleUnknownMethod(const std::string& method);         // 405, close
    virtual void handleResourceNotFound();                               // 404, keep-alive rule
    virtual void handleForbiddenResource();                              // 403, keep-alive rule
    virtual void handleRequestTooLarge();                                // 413, close

    // Socket delegate calls (connection queue).
    bool respondsTo(Call call) const override;
    void didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData& data, long tag) override;
    void didWriteData(const std::shared_ptr<AsyncSocket>& sock, long tag) override;
    void socketDidDisconnect(const std::shared_ptr<AsyncSocket>& sock, const std::optional<platform::Error>& error) override;

protected:
    // Steps a subclass may call (connection queue).
    void startConnection();
    void startReadingRequest();
    void replyToHTTPRequest();
    void sendResponseHeadersAndBody();
    void continueSendingStandardResponseBody();
    void continueSendingSingleRangeResponseBody();
    void continueSendingMultiRangeResponseBody();
    void finishResponse();
    const std::shared_ptr<HTTPResponse>& httpResponse() const { return httpResponse_; }

    // Byte ranges.
    bool parseRangeRequest(const std::string& rangeHeader, uint64_t contentLength);
    std::shared_ptr<HTTPMessage> newUniRangeResponse(uint64_t contentLength);
    std::shared_ptr<HTTPMessage> newMultiRangeResponse(uint64_t contentLength);

private:
    void attachToSocket();
    // Whether the client has gone before the connection started: its socket has closed, it
    // reset the connection, or it shut its side down without sending anything.
    bool peerHasGone();
    // Closes the socket without reading from it and dies.
    void closeUnread();
    void readHeaderLine();
    void readBodyPiece();
    void readChunkSizeLine();
    void readFooterLine();
    void processHeaderLine(const AsyncSocketData& data);
    void processChunkSizeLine(const AsyncSocketData& data);
    void processFooterLine(const AsyncSocketData& data);
    void writeErrorResponse(int64_t status, long tag, std::optional<std::string> connectionField = std::nullopt,
                            bool authChallenge = false);
    void writeBodyPiece(const DataSlice& piece, long tag, double timeout);
    // Queues a piece of a whole-body reply (chunk-framed when chunked); an empty piece queues
    // nothing, except the closing chunk of a chunked reply that has learnt it is done.
    void writeStandardPiece(const DataSlice& piece, bool chunked);
    double readTimeout() const { return config_->timeouts().read; }
    double writeTimeout() const { return config_->timeouts().write; }
    std::shared_ptr<HTTPResponse> httpResponseForRequestFromDocumentRoot(const std::string& path);
    // An upgrade request: asks webSocketForURI, starts the web socket, hands it to the server
    // and leaves the socket to it (404 when there is none).
    void handOverToWebSocket(const std::string& uri);

    std::shared_ptr<platform::DispatchQueue> connectionQueue_;
    std::shared_ptr<AsyncSocket> asyncSocket_;
    std::shared_ptr<HTTPConfig> config_;
    bool started_ = false;
    std::shared_ptr<HTTPMessage> request_;
    uint32_t numHeaderLines_ = 0;
    bool sentResponseHeaders_ = false;
    // An error reply was queued for the request being answered: a hook that answered it
    // itself, so the connection adds nothing.
    bool errorReplyQueued_ = false;
    // The zero-size chunk that ends a chunked reply has been queued.
    bool chunkedTerminatorQueued_ = false;
    // Digest: the nonce this connection adopted (none yet: nullopt) and the highest nonce
    // count accepted with it.
    std::optional<std::string> nonce_;
    int64_t lastNC_ = 0;
    // isAuthenticated refused a right response on a nonce this process made and has dropped:
    // the next digest challenge says stale=true (and clears it).
    bool staleNonce_ = false;
    std::shared_ptr<HTTPResponse> httpResponse_;
    std::optional<std::vector<LxRange>> ranges_;
    std::vector<Bytes> rangesHeaders_;
    std::string rangesBoundary_;
    int32_t rangeIndex_ = 0;
    uint64_t requestContentLength_ = 0;
    uint64_t requestContentLengthReceived_ = 0;
    uint64_t requestChunkSize_ = 0;
    uint64_t requestChunkSizeReceived_ = 0;
    std::deque<uint64_t> responseDataSizes_;
};
