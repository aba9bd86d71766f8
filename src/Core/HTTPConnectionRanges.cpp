// HTTPConnection: byte-range replies - parsing "Range", the single- and multi-range reply
// headers, and sending the ranges' bodies.
#include "Core/HTTPConnection.h"

#include <algorithm>

#include "Core/Categories/LxNumber.h"
#include "Platform/Format.h"

#include "Core/detail/HTTPConnectionInternal.h"

using core_detail::bytesOf;
using core_detail::equalsIgnoringCase;
using core_detail::newUuidString;
using core_detail::trimmed;

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
