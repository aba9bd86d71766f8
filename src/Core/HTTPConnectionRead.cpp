// HTTPConnection: reading requests - header lines, bodies by length or in chunks, footers -
// and the request's target and query.
#include "Core/HTTPConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "Core/Categories/LxNumber.h"
#include "Platform/Text/StringEncoding.h"

#include "Core/detail/HTTPConnectionInternal.h"

using core_detail::equalsIgnoringCase;
using core_detail::trimmed;

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
