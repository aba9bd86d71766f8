// HTTPConnection: replying - the response's header and body, whole or chunked - keep-alive
// after the last write, and the error replies.
#include "Core/HTTPConnection.h"

#include <algorithm>
#include <ctime>

#include "Core/WebSocket.h"
#include "Platform/Format.h"

#include "Core/detail/HTTPConnectionInternal.h"

using core_detail::bytesOf;
using core_detail::equalsIgnoringCase;

namespace {

// An HTTP/1.0 connection closes after each reply unless both sides say otherwise: a client
// that asked for keep-alive and is kept is told so, or it waits for a close that never comes.
// A 1.1 reply needs no such field, and a reply that ends the connection says what it says.
void announceKeepAlive(const HTTPMessage& request, bool closing, HTTPMessage& response) {
    if (closing || request.version() != HTTPVersion1_0) return;
    const std::optional<std::string> connection = request.headerField("Connection");
    if (connection && equalsIgnoringCase(*connection, "keep-alive")) response.setHeaderField("Connection", "keep-alive");
}

}  // namespace

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
        handOverToWebSocket(uri);
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

    announceKeepAlive(*request_, shouldDie(), *response);
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

// ---------------------------------------------------------------------------------------------
// Error replies

void HTTPConnection::writeErrorResponse(int64_t status, long tag, std::optional<std::string> connectionField,
                                        bool authChallenge) {
    if (!asyncSocket_) return;
    auto response = HTTPMessage::initResponseWithStatusCode(status, std::nullopt, HTTPVersion1_1);
    response->setHeaderField("Content-Length", "0");
    if (connectionField) response->setHeaderField("Connection", *connectionField);
    // Only a reply after which the keep-alive rule decides may keep the connection; 400, 405
    // and 413 close it.
    if (request_ && tag == TagResponse) announceKeepAlive(*request_, shouldDie(), *response);
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
