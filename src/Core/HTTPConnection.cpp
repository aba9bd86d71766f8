#include "Core/HTTPConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "Core/Categories/LxNumber.h"
#include "Core/HTTPServer.h"
#include "Core/Responses/HTTPFileResponse.h"
#include "Core/WebSocket.h"
#include "Core/detail/HTTPText.h"
#include "Logging/LxLogMacros.h"
#include "Platform/Format.h"
#include "Platform/Notifications/NotificationCenter.h"
#include "Platform/Text/StringEncoding.h"

namespace {

using core_detail::equalsIgnoringCase;
using core_detail::newUuidString;
using core_detail::trimmed;

std::shared_ptr<const ByteBuffer> bytesOf(std::string_view text) {
    return std::make_shared<const ByteBuffer>(text.begin(), text.end());
}

}  // namespace

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

void HTTPConnection::startReadingRequest() { readHeaderLine(); }

// ---------------------------------------------------------------------------------------------
// Reading requests

void HTTPConnection::readHeaderLine() {
    if (asyncSocket_) asyncSocket_->readDataToData(AsyncSocket::CRLFData(), readTimeout(), kMaxHeaderLineLength, TagRequestHeader);
}

void HTTPConnection::readBodyPiece() {
    const uint64_t rest = requestContentLength_ - requestContentLengthReceived_;
    if (asyncSocket_) asyncSocket_->readDataToLength(std::min(rest, kRequestBodyPieceLength), readTimeout(), TagRequestBody);
}

void HTTPConnection::readChunkSizeLine() {
    if (asyncSocket_) asyncSocket_->readDataToData(AsyncSocket::CRLFData(), readTimeout(), kMaxChunkLineLength, TagRequestChunkSize);
}

void HTTPConnection::readFooterLine() {
    if (asyncSocket_) asyncSocket_->readDataToData(AsyncSocket::CRLFData(), readTimeout(), kMaxHeaderLineLength, TagRequestChunkFooter);
}

bool HTTPConnection::respondsTo(Call call) const {
    return call == Call::DidReadData || call == Call::DidWriteData || call == Call::DidDisconnect;
}

void HTTPConnection::didReadData(const std::shared_ptr<AsyncSocket>& sock, const AsyncSocketData& data, long tag) {
    if (sock != asyncSocket_ || !request_) return;
    const std::span<const uint8_t> bytes(data.data(), data.size());
    switch (tag) {
    case TagRequestHeader:
        processHeaderLine(data);
        break;
    case TagRequestBody:
        requestContentLengthReceived_ += data.size();
        processBodyData(bytes);
        if (requestContentLength_ <= requestContentLengthReceived_) {
            finishBody();
            replyToHTTPRequest();
        } else {
            readBodyPiece();
        }
        break;
    case TagRequestChunkSize:
        processChunkSizeLine(data);
        break;
    case TagRequestChunkData:
        requestContentLengthReceived_ += data.size();
        requestChunkSizeReceived_ += data.size();
        processBodyData(bytes);
        if (requestChunkSizeReceived_ < requestChunkSize_) {
            const uint64_t rest = requestChunkSize_ - requestChunkSizeReceived_;
            asyncSocket_->readDataToLength(std::min(rest, kRequestBodyPieceLength), readTimeout(), TagRequestChunkData);
        } else {
            asyncSocket_->readDataToLength(2, readTimeout(), TagRequestChunkTrailer);
        }
        break;
    case TagRequestChunkTrailer:
        if (data.size() != 2 || data.data()[0] != '\r' || data.data()[1] != '\n') {
            LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Method expects chunk trailer, but is missing", THIS_FILE,
                        static_cast<const void*>(this));
            handleInvalidRequest(bytes);
            break;
        }
        readChunkSizeLine();
        break;
    case TagRequestChunkFooter:
        processFooterLine(data);
        break;
    default:
        break;
    }
}

void HTTPConnection::processHeaderLine(const AsyncSocketData& data) {
    const std::span<const uint8_t> bytes(data.data(), data.size());
    if (!request_->appendData(bytes)) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Malformed request", THIS_FILE, static_cast<const void*>(this));
        handleInvalidRequest(bytes);
        return;
    }
    if (!request_->isHeaderComplete()) {
        // At most kMaxHeaderLines lines, the request line included, may precede the empty line.
        if (++numHeaderLines_ > kMaxHeaderLines) {
            asyncSocket_->disconnect();
        } else {
            readHeaderLine();
        }
        return;
    }

    const std::string method = request_->method();
    const std::string uri = requestURI().value_or("");
    const std::optional<std::string> transferEncoding = request_->headerField("Transfer-Encoding");
    const std::optional<std::string> contentLength = request_->headerField("Content-Length");
    const bool expectsBody = expectsRequestBodyFromMethod(method, uri);

    if (expectsBody) {
        if (transferEncoding && equalsIgnoringCase(*transferEncoding, "Chunked")) {
            requestContentLength_ = kChunkedContentLength;
        } else if (contentLength) {
            if (!LxNumber::parseStringIntoUInt64(*contentLength, &requestContentLength_)) {
                LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Unable to parse Content-Length header into a valid number",
                            THIS_FILE, static_cast<const void*>(this));
                handleInvalidRequest(bytes);
                return;
            }
        } else {
            LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Method expects request body, but had no specified Content-Length",
                        THIS_FILE, static_cast<const void*>(this));
            handleInvalidRequest(bytes);
            return;
        }
    } else {
        if (!contentLength) {
            requestContentLength_ = 0;
            requestContentLengthReceived_ = 0;
        } else {
            uint64_t length = 0;
            if (!LxNumber::parseStringIntoUInt64(*contentLength, &length)) {
                LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Unable to parse Content-Length header into a valid number",
                            THIS_FILE, static_cast<const void*>(this));
                handleInvalidRequest(bytes);
                return;
            }
            if (length != 0) {
                LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Method not expecting request body had non-zero Content-Length",
                            THIS_FILE, static_cast<const void*>(this));
                handleInvalidRequest(bytes);
                return;
            }
            requestContentLength_ = 0;
            requestContentLengthReceived_ = 0;
        }
    }

    if (!supportsMethod(method, uri)) {
        handleUnknownMethod(method);
        return;
    }

    if (expectsBody) {
        // The body is refused before it is read: a declared length beyond the limit never
        // reaches the body hooks.
        if (requestContentLength_ != kChunkedContentLength && requestContentLength_ > kMaxRequestBodyLength) {
            handleRequestTooLarge();
            return;
        }
        requestContentLengthReceived_ = 0;
        prepareForBodyWithSize(requestContentLength_);
        if (requestContentLength_ == kChunkedContentLength) {
            readChunkSizeLine();
            return;
        }
        if (requestContentLength_ > 0) {
            readBodyPiece();
            return;
        }
        finishBody();
    }
    replyToHTTPRequest();
}

void HTTPConnection::processChunkSizeLine(const AsyncSocketData& data) {
    const std::span<const uint8_t> bytes(data.data(), data.size());
    bool valid = platform::isValidUTF8(bytes);
    uint64_t size = 0;
    if (valid) {
        const std::string text = data.str();  // NUL-terminated for the conversion
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(text.c_str(), &end, 16);
        valid = errno == 0 && end != text.c_str();
        size = value;
    }
    if (!valid) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Method expects chunk size, but received something else", THIS_FILE,
                    static_cast<const void*>(this));
        handleInvalidRequest(bytes);
        return;
    }
    requestChunkSize_ = size;
    requestChunkSizeReceived_ = 0;
    if (size == 0) {
        readFooterLine();
        return;
    }
    if (size > kMaxRequestBodyLength || requestContentLengthReceived_ > kMaxRequestBodyLength - size) {
        handleRequestTooLarge();
        return;
    }
    asyncSocket_->readDataToLength(std::min(size, kRequestBodyPieceLength), readTimeout(), TagRequestChunkData);
}

void HTTPConnection::processFooterLine(const AsyncSocketData& data) {
    if (++numHeaderLines_ > kMaxHeaderLines) {
        asyncSocket_->disconnect();
        return;
    }
    if (data.size() < 3) {
        finishBody();
        replyToHTTPRequest();
        return;
    }
    readFooterLine();
}

std::optional<std::string> HTTPConnection::requestURI() const {
    if (!request_) return std::nullopt;
    const std::optional<platform::Url>& url = request_->url();
    if (!url) return std::nullopt;
    return url->relativeString();
}

std::map<std::string, std::optional<std::string>> HTTPConnection::parseParams(const std::string& query) {
    std::map<std::string, std::optional<std::string>> result;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string_view component(query.data() + start, end - start);
        start = end + 1;
        const size_t eq = component.find('=');
        if (component.empty() || eq == std::string_view::npos || eq == 0) continue;
        const std::optional<std::string> key = platform::Url::percentDecode(component.substr(0, eq));
        if (!key) continue;
        result[*key] = platform::Url::percentDecode(component.substr(eq + 1));
    }
    return result;
}

std::optional<std::map<std::string, std::optional<std::string>>> HTTPConnection::parseGetParams() const {
    if (!request_ || !request_->isHeaderComplete()) return std::nullopt;
    const std::optional<platform::Url>& url = request_->url();
    if (!url || !url->query()) return std::nullopt;
    return parseParams(*url->query());
}

// ---------------------------------------------------------------------------------------------
// Replying

void HTTPConnection::replyToHTTPRequest() {
    if (!request_ || !asyncSocket_) return;
    const std::string& version = request_->version();
    if (version != HTTPVersion1_1 && version != HTTPVersion1_0) {
        handleVersionNotSupported(version);
        return;
    }
    const std::string uri = requestURI().value_or("");

    if (WebSocket::isWebSocketRequest(*request_)) {
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
        return;
    }

    if (isPasswordProtected(uri) && !isAuthenticated()) {
        handleAuthenticationFailed();
        return;
    }

    std::shared_ptr<HTTPResponse> response = httpResponseForMethod(request_->method(), uri);
    if (errorReplyQueued_) {
        // The hook answered the request itself; that reply is the only one.
        return;
    }
    httpResponse_ = std::move(response);
    if (httpResponse_) {
        sendResponseHeadersAndBody();
    } else {
        handleResourceNotFound();
    }
}

void HTTPConnection::writeBodyPiece(const DataSlice& piece, long tag, double timeout) {
    std::shared_ptr<const ByteBuffer> bytes;
    if (piece.offset() == 0 && piece.buffer() && piece.size() == piece.buffer()->size()) {
        bytes = piece.buffer();
    } else {
        bytes = std::make_shared<const ByteBuffer>(piece.begin(), piece.end());
    }
    asyncSocket_->writeData(std::move(bytes), timeout, tag);
}

void HTTPConnection::sendResponseHeadersAndBody() {
    if (!httpResponse_ || !asyncSocket_ || !request_) return;
    if (httpResponse_->implements(HTTPResponse::kDelayResponseHeaders) && httpResponse_->delayResponseHeaders()) return;

    const bool chunked = httpResponse_->implements(HTTPResponse::kIsChunked) && httpResponse_->isChunked();
    const uint64_t length = chunked ? 0 : httpResponse_->contentLength();

    bool isRangeRequest = false;
    if (!chunked) {
        if (const auto range = request_->headerField("Range")) isRangeRequest = parseRangeRequest(*range, length);
    }

    std::shared_ptr<HTTPMessage> response;
    if (isRangeRequest) {
        response = ranges_->size() == 1 ? newUniRangeResponse(length) : newMultiRangeResponse(length);
    } else {
        const int64_t status = httpResponse_->implements(HTTPResponse::kStatus) ? httpResponse_->status() : 200;
        response = HTTPMessage::initResponseWithStatusCode(status, std::nullopt, HTTPVersion1_1);
        if (chunked) {
            response->setHeaderField("Transfer-Encoding", "chunked");
        } else {
            response->setHeaderField("Content-Length", std::to_string(length));
        }
    }

    ByteBuffer headerBytes = preprocessResponse(*response);
    // The header goes out once, alone or with a small body appended to it.
    auto writeHeader = [&](long tag) {
        asyncSocket_->writeData(std::make_shared<const ByteBuffer>(std::move(headerBytes)), writeTimeout(), tag);
        sentResponseHeaders_ = true;
    };

    if (request_->method() == "HEAD" || (!chunked && length == 0)) {
        writeHeader(TagResponse);
        return;
    }

    if (!isRangeRequest) {
        // The first piece is read before the header is written; a response is never rewound
        // outside ranges, so whatever this read returns is the body's beginning.
        const DataSlice piece = httpResponse_->readDataOfLength(kMaxResponseQueueSize);
        if (!chunked && length <= kSmallResponseLength && !piece.empty() && httpResponse_->isDone()) {
            // A small body that came whole goes out with its header in one write: the same
            // bytes on the wire, one send and one completion fewer for every API reply.
            headerBytes.insert(headerBytes.end(), piece.begin(), piece.end());
            responseDataSizes_.push_back(piece.size());
            writeHeader(TagResponse);
            return;
        }
        writeHeader(TagPartialResponseHeader);
        writeStandardPiece(piece, chunked);
        return;
    }

    writeHeader(TagPartialResponseHeader);
    const LxRange first = ranges_->front();
    if (ranges_->size() == 1) {
        httpResponse_->setOffset(first.location);
        const DataSlice piece = httpResponse_->readDataOfLength(std::min(first.length, kMaxResponseQueueSize));
        if (piece.empty()) return;
        responseDataSizes_.push_back(piece.size());
        writeBodyPiece(piece, piece.size() == first.length ? TagResponse : TagPartialRangeResponseBody, -1);
    } else {
        asyncSocket_->writeData(std::make_shared<const ByteBuffer>(rangesHeaders_.front()), writeTimeout(),
                                TagPartialResponseHeader);
        httpResponse_->setOffset(first.location);
        const DataSlice piece = httpResponse_->readDataOfLength(std::min(first.length, kMaxResponseQueueSize));
        if (piece.empty()) return;
        responseDataSizes_.push_back(piece.size());
        writeBodyPiece(piece, TagPartialRangesResponseBody, -1);
    }
}

void HTTPConnection::continueSendingStandardResponseBody() {
    if (!httpResponse_ || !asyncSocket_) return;
    const uint64_t queued = writeQueueSize();
    if (queued >= kMaxResponseQueueSize) return;
    const bool chunked = httpResponse_->implements(HTTPResponse::kIsChunked) && httpResponse_->isChunked();
    writeStandardPiece(httpResponse_->readDataOfLength(kMaxResponseQueueSize - queued), chunked);
}

void HTTPConnection::writeStandardPiece(const DataSlice& piece, bool chunked) {
    if (piece.empty()) {
        // A chunked response that learns only after its last piece that it is done (or that
        // has no body at all) still needs its closing chunk, or the client waits for ever.
        // Every piece before it has been written with its CRLF (tag 32), so the footer goes
        // without one.
        if (chunked && !chunkedTerminatorQueued_ && httpResponse_->isDone() && responseDataSizes_.empty()) {
            chunkedTerminatorQueued_ = true;
            asyncSocket_->writeData(bytesOf("0\r\n\r\n"), writeTimeout(), TagResponse);
        }
        return;
    }
    responseDataSizes_.push_back(piece.size());
    const bool done = httpResponse_->isDone();
    if (chunked) {
        asyncSocket_->writeData(std::make_shared<const ByteBuffer>(chunkedTransferSizeLineForLength(piece.size())),
                                writeTimeout(), TagChunkedResponseHeader);
        writeBodyPiece(piece, TagChunkedResponseBody, -1);
        if (done) {
            chunkedTerminatorQueued_ = true;
            asyncSocket_->writeData(std::make_shared<const ByteBuffer>(chunkedTransferFooter()), writeTimeout(), TagResponse);
        } else {
            asyncSocket_->writeData(AsyncSocket::CRLFData(), writeTimeout(), TagChunkedResponseFooter);
        }
    } else {
        writeBodyPiece(piece, done ? TagResponse : TagPartialResponseBody, -1);
    }
}

uint64_t HTTPConnection::writeQueueSize() const {
    uint64_t total = 0;
    for (uint64_t size : responseDataSizes_) total += size;
    return total;
}

HTTPConnection::Bytes HTTPConnection::chunkedTransferSizeLineForLength(uint64_t length) {
    const std::string line = platform::format("%llx\r\n", static_cast<unsigned long long>(length));
    return Bytes(line.begin(), line.end());
}

HTTPConnection::Bytes HTTPConnection::chunkedTransferFooter() {
    static constexpr std::string_view footer = "\r\n0\r\n\r\n";
    return Bytes(footer.begin(), footer.end());
}

const std::string& HTTPConnection::dateAsString(int64_t secondsSince1970) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // Every response carries the date, and a busy server sends many within one second: each
    // thread formats a second once.
    thread_local std::optional<int64_t> formattedSecond;
    thread_local std::string formatted;
    if (formattedSecond == secondsSince1970) return formatted;
    const std::time_t t = static_cast<std::time_t>(secondsSince1970);
    std::tm tm{};
    gmtime_r(&t, &tm);
    formatted = platform::format("%s, %02d %s %d %02d:%02d:%02d GMT", days[tm.tm_wday % 7], tm.tm_mday,
                                 months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    formattedSecond = secondsSince1970;
    return formatted;
}

HTTPConnection::Bytes HTTPConnection::preprocessResponse(HTTPMessage& response) {
    response.setHeaderField("Date", dateAsString(static_cast<int64_t>(std::time(nullptr))));
    response.setHeaderField("Accept-Ranges", "bytes");
    if (httpResponse_ && httpResponse_->implements(HTTPResponse::kHttpHeaders)) {
        for (const auto& [name, value] : httpResponse_->httpHeaders()) response.setHeaderField(name, value);
    }
    return response.messageData();
}

HTTPConnection::Bytes HTTPConnection::preprocessErrorResponse(HTTPMessage& response) {
    return HTTPConnection::preprocessResponse(response);
}

void HTTPConnection::responseHasAvailableData(const HTTPResponse* sender) {
    auto self = shared_from_this();
    connectionQueue_->async([self, sender] {
        if (sender != self->httpResponse_.get()) {
            LX_LOG_WARN(LogContextHttpServer, "%@[%p]: %@ - Sender is not current httpResponse", THIS_FILE,
                        static_cast<const void*>(self.get()), "responseHasAvailableData:");
            return;
        }
        if (!self->sentResponseHeaders_) {
            self->sendResponseHeadersAndBody();
        } else if (!self->ranges_) {
            self->continueSendingStandardResponseBody();
        } else if (self->ranges_->size() == 1) {
            self->continueSendingSingleRangeResponseBody();
        } else {
            self->continueSendingMultiRangeResponseBody();
        }
    });
}

void HTTPConnection::responseDidAbort(const HTTPResponse* sender) {
    auto self = shared_from_this();
    connectionQueue_->async([self, sender] {
        if (sender != self->httpResponse_.get()) {
            LX_LOG_WARN(LogContextHttpServer, "%@[%p]: %@ - Sender is not current httpResponse", THIS_FILE,
                        static_cast<const void*>(self.get()), "responseDidAbort:");
            return;
        }
        if (self->asyncSocket_) self->asyncSocket_->disconnectAfterWriting();
    });
}

// ---------------------------------------------------------------------------------------------
// Writes, keep-alive and death

void HTTPConnection::didWriteData(const std::shared_ptr<AsyncSocket>& sock, long tag) {
    if (sock != asyncSocket_) return;
    auto popSize = [this] {
        if (!responseDataSizes_.empty()) responseDataSizes_.pop_front();
    };
    switch (tag) {
    case TagPartialResponseBody:
        popSize();
        continueSendingStandardResponseBody();
        break;
    case TagChunkedResponseBody:
        popSize();
        break;
    case TagChunkedResponseFooter:
        continueSendingStandardResponseBody();
        break;
    case TagPartialRangeResponseBody:
        popSize();
        continueSendingSingleRangeResponseBody();
        break;
    case TagPartialRangesResponseBody:
        popSize();
        continueSendingMultiRangeResponseBody();
        break;
    case TagResponse: {
        popSize();
        if (httpResponse_ && httpResponse_->implements(HTTPResponse::kConnectionDidClose)) httpResponse_->connectionDidClose();
        const bool doneWithSocket = shouldDie();
        finishResponse();
        if (doneWithSocket) {
            asyncSocket_->disconnectAfterWriting();
        } else {
            request_ = HTTPMessage::initEmptyRequest();
            numHeaderLines_ = 0;
            sentResponseHeaders_ = false;
            errorReplyQueued_ = false;
            chunkedTerminatorQueued_ = false;
            responseDataSizes_.clear();
            startReadingRequest();
        }
        break;
    }
    case TagFinalResponse:
        popSize();
        if (httpResponse_ && httpResponse_->implements(HTTPResponse::kConnectionDidClose)) httpResponse_->connectionDidClose();
        finishResponse();
        asyncSocket_->disconnect();
        break;
    default:
        break;
    }
}

bool HTTPConnection::shouldDie() {
    if (!request_) return true;
    const std::string& version = request_->version();
    const std::optional<std::string> connection = request_->headerField("Connection");
    if (version == HTTPVersion1_1) return connection && equalsIgnoringCase(*connection, "close");
    if (version == HTTPVersion1_0) return !(connection && equalsIgnoringCase(*connection, "keep-alive"));
    return false;
}

void HTTPConnection::finishResponse() {
    request_.reset();
    httpResponse_.reset();
    ranges_.reset();
    rangesHeaders_.clear();
    rangesBoundary_.clear();
}

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
// Error replies

void HTTPConnection::writeErrorResponse(int64_t status, long tag, std::optional<std::string> connectionField,
                                        bool authChallenge) {
    if (!asyncSocket_) return;
    auto response = HTTPMessage::initResponseWithStatusCode(status, std::nullopt, HTTPVersion1_1);
    response->setHeaderField("Content-Length", "0");
    if (connectionField) response->setHeaderField("Connection", *connectionField);
    if (authChallenge) {
        if (useDigestAccessAuthentication()) addDigestAuthChallenge(*response);
        else addBasicAuthChallenge(*response);
    }
    asyncSocket_->writeData(std::make_shared<const ByteBuffer>(preprocessErrorResponse(*response)), writeTimeout(), tag);
    errorReplyQueued_ = true;
}

void HTTPConnection::handleVersionNotSupported(const std::string& version) {
    LX_LOG_WARN(LogContextHttpServer, "HTTP Server: Error 505 - Version Not Supported: %@ (%@)", version, requestURI());
    writeErrorResponse(505, TagResponse);
}

void HTTPConnection::handleAuthenticationFailed() { writeErrorResponse(401, TagResponse, std::nullopt, true); }

void HTTPConnection::handleInvalidRequest(std::span<const uint8_t>) {
    LX_LOG_WARN(LogContextHttpServer, "HTTP Server: Error 400 - Bad Request (%@)", requestURI());
    writeErrorResponse(400, TagFinalResponse, "close");
}

void HTTPConnection::handleUnknownMethod(const std::string& method) {
    LX_LOG_WARN(LogContextHttpServer, "HTTP Server: Error 405 - Method Not Allowed: %@ (%@)", method, requestURI());
    writeErrorResponse(405, TagFinalResponse, "close");
}

void HTTPConnection::handleResourceNotFound() { writeErrorResponse(404, TagResponse); }

void HTTPConnection::handleForbiddenResource() { writeErrorResponse(403, TagResponse); }

void HTTPConnection::handleRequestTooLarge() {
    LX_LOG_WARN(LogContextHttpServer, "HTTP Server: Error 413 - Request Entity Too Large (%@)", requestURI());
    writeErrorResponse(413, TagFinalResponse, "close");
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

std::vector<std::string> HTTPConnection::directoryIndexFileNames() { return {"index.html", "index.htm"}; }

std::optional<std::string> HTTPConnection::filePathForURI(const std::string& path) { return filePathForURI(path, false); }

std::optional<std::string> HTTPConnection::filePathForURI(const std::string& path, bool allowDirectory) {
    const std::optional<std::string>& root = config_->documentRoot();
    if (!root) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: No configured document root", THIS_FILE, static_cast<const void*>(this));
        return std::nullopt;
    }
    if (root->empty()) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Document root is invalid file path", THIS_FILE,
                    static_cast<const void*>(this));
        return std::nullopt;
    }
    // The path of the URI, query and fragment dropped, escapes decoded.
    std::string_view target = path;
    const size_t cut = target.find_first_of("?#");
    if (cut != std::string_view::npos) target = target.substr(0, cut);
    std::optional<std::string> relative = platform::Url::percentDecode(target);
    if (!relative) return std::nullopt;
    if (relative->empty() || relative->front() != '/') relative = "/" + *relative;

    std::string fullPath = HTTPConfig::standardizePath(*root + *relative);
    if (*relative == "/") fullPath += "/";
    const std::string prefix = (!root->empty() && root->back() == '/') ? *root : *root + "/";
    if (fullPath.compare(0, prefix.size(), prefix) != 0) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Request for file outside document root", THIS_FILE,
                    static_cast<const void*>(this));
        return std::nullopt;
    }
    std::error_code ec;
    if (!allowDirectory && std::filesystem::is_directory(fullPath, ec)) {
        for (const std::string& name : directoryIndexFileNames()) {
            const std::string candidate = (fullPath.back() == '/' ? fullPath : fullPath + "/") + name;
            if (std::filesystem::exists(candidate, ec) && !std::filesystem::is_directory(candidate, ec)) return candidate;
        }
        return std::nullopt;
    }
    return fullPath;
}

std::shared_ptr<HTTPResponse> HTTPConnection::fileResponseForPath(const std::string& filePath) {
    return HTTPFileResponse::create(filePath, shared_from_this());
}

std::shared_ptr<HTTPResponse> HTTPConnection::httpResponseForMethod(const std::string&, const std::string& path) {
    return httpResponseForRequestFromDocumentRoot(path);
}

std::shared_ptr<HTTPResponse> HTTPConnection::httpResponseForRequestFromDocumentRoot(const std::string& path) {
    const std::optional<std::string> filePath = filePathForURI(path, false);
    if (!filePath) return nullptr;
    std::error_code ec;
    if (!std::filesystem::exists(*filePath, ec) || std::filesystem::is_directory(*filePath, ec)) return nullptr;
    return fileResponseForPath(*filePath);
}

// ---------------------------------------------------------------------------------------------
// Byte ranges

bool HTTPConnection::parseRangeRequest(const std::string& rangeHeader, uint64_t contentLength) {
    ranges_.reset();
    rangeIndex_ = 0;
    const size_t eq = rangeHeader.find('=');
    if (eq == std::string::npos) return false;
    const std::string_view unit = trimmed(std::string_view(rangeHeader).substr(0, eq));
    const std::string_view spec = trimmed(std::string_view(rangeHeader).substr(eq + 1));
    if (!equalsIgnoringCase(unit, "bytes")) return false;

    std::vector<LxRange> ranges;
    const uint64_t L = contentLength;
    size_t start = 0;
    while (start <= spec.size()) {
        size_t end = spec.find(',', start);
        if (end == std::string_view::npos) end = spec.size();
        const std::string_view item = spec.substr(start, end - start);
        start = end + 1;
        const size_t dash = item.find('-');
        if (dash == std::string_view::npos) {
            uint64_t n = 0;
            if (!LxNumber::parseStringIntoUInt64(item, &n) || n >= L) return false;
            ranges.push_back({n, 1});
            continue;
        }
        uint64_t a = 0, b = 0;
        const bool hasA = LxNumber::parseStringIntoUInt64(item.substr(0, dash), &a);
        const bool hasB = LxNumber::parseStringIntoUInt64(item.substr(dash + 1), &b);
        if (hasA && hasB) {
            if (a > b || b >= L) return false;
            ranges.push_back({a, b - a + 1});
        } else if (hasA) {
            if (a >= L) return false;
            ranges.push_back({a, L - a});
        } else if (hasB) {
            if (b < 1 || b > L) return false;
            ranges.push_back({L - b, b});
        } else {
            return false;
        }
    }
    if (ranges.empty()) return false;
    for (size_t i = 0; i < ranges.size(); ++i) {
        for (size_t j = i + 1; j < ranges.size(); ++j) {
            if (LxIntersectionRange(ranges[i], ranges[j]).length != 0) return false;
        }
    }
    std::sort(ranges.begin(), ranges.end(), [](const LxRange& x, const LxRange& y) {
        return LxRangeCompare(&x, &y) == LxComparisonResult::Ascending;
    });
    ranges_ = std::move(ranges);
    return true;
}

std::shared_ptr<HTTPMessage> HTTPConnection::newUniRangeResponse(uint64_t contentLength) {
    const LxRange range = ranges_->front();
    auto response = HTTPMessage::initResponseWithStatusCode(206, std::nullopt, HTTPVersion1_1);
    response->setHeaderField("Content-Length", platform::format("%llu", static_cast<unsigned long long>(range.length)));
    const std::string rangeText = platform::format("%llu-%llu", static_cast<unsigned long long>(range.location),
                                                   static_cast<unsigned long long>(range.location + range.length - 1));
    response->setHeaderField("Content-Range",
                             platform::format("bytes %@/%llu", rangeText, static_cast<unsigned long long>(contentLength)));
    return response;
}

std::shared_ptr<HTTPMessage> HTTPConnection::newMultiRangeResponse(uint64_t contentLength) {
    auto response = HTTPMessage::initResponseWithStatusCode(206, std::nullopt, HTTPVersion1_1);
    rangesBoundary_ = newUuidString();
    rangesHeaders_.clear();
    uint64_t total = 0;
    for (const LxRange& range : *ranges_) {
        const std::string rangeText = platform::format(
            "bytes %llu-%llu/%llu", static_cast<unsigned long long>(range.location),
            static_cast<unsigned long long>(range.location + range.length - 1), static_cast<unsigned long long>(contentLength));
        const std::string header =
            platform::format("\r\n--%@\r\n", rangesBoundary_) + platform::format("Content-Range: %@\r\n\r\n", rangeText);
        rangesHeaders_.emplace_back(header.begin(), header.end());
        total += range.length + header.size();
    }
    total += platform::format("\r\n--%@--\r\n", rangesBoundary_).size();
    response->setHeaderField("Content-Length", platform::format("%llu", static_cast<unsigned long long>(total)));
    response->setHeaderField("Content-Type", platform::format("multipart/byteranges; boundary=%@", rangesBoundary_));
    return response;
}

void HTTPConnection::continueSendingSingleRangeResponseBody() {
    if (!httpResponse_ || !asyncSocket_ || !ranges_ || ranges_->empty()) return;
    const uint64_t queued = writeQueueSize();
    if (queued >= kMaxResponseQueueSize) return;
    const LxRange range = ranges_->front();
    const uint64_t offset = httpResponse_->offset();
    const uint64_t end = range.location + range.length;
    if (offset >= end) return;
    const uint64_t rest = end - offset;
    const DataSlice piece = httpResponse_->readDataOfLength(std::min(rest, kMaxResponseQueueSize - queued));
    if (piece.empty()) return;
    responseDataSizes_.push_back(piece.size());
    writeBodyPiece(piece, piece.size() == rest ? TagResponse : TagPartialRangeResponseBody, -1);
}

void HTTPConnection::continueSendingMultiRangeResponseBody() {
    if (!httpResponse_ || !asyncSocket_ || !ranges_) return;
    const uint64_t queued = writeQueueSize();
    if (queued >= kMaxResponseQueueSize) return;
    if (rangeIndex_ < 0 || static_cast<size_t>(rangeIndex_) >= ranges_->size()) return;
    const LxRange range = (*ranges_)[static_cast<size_t>(rangeIndex_)];
    const uint64_t offset = httpResponse_->offset();
    const uint64_t end = range.location + range.length;
    const uint64_t rest = offset < end ? end - offset : 0;
    if (rest > 0) {
        const DataSlice piece = httpResponse_->readDataOfLength(std::min(rest, kMaxResponseQueueSize - queued));
        if (piece.empty()) return;
        responseDataSizes_.push_back(piece.size());
        writeBodyPiece(piece, TagPartialRangesResponseBody, -1);
        return;
    }
    ++rangeIndex_;
    if (static_cast<size_t>(rangeIndex_) >= ranges_->size()) {
        asyncSocket_->writeData(bytesOf(platform::format("\r\n--%@--\r\n", rangesBoundary_)), writeTimeout(), TagResponse);
        return;
    }
    const LxRange next = (*ranges_)[static_cast<size_t>(rangeIndex_)];
    asyncSocket_->writeData(std::make_shared<const ByteBuffer>(rangesHeaders_[static_cast<size_t>(rangeIndex_)]),
                            writeTimeout(), TagPartialResponseHeader);
    httpResponse_->setOffset(next.location);
    const DataSlice piece = httpResponse_->readDataOfLength(std::min(next.length, kMaxResponseQueueSize - queued));
    if (piece.empty()) return;
    responseDataSizes_.push_back(piece.size());
    writeBodyPiece(piece, TagPartialRangesResponseBody, -1);
}
