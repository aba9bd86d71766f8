#include "Core/Responses/HTTPDataResponse.h"

#include <algorithm>

HTTPDataResponse::HTTPDataResponse(std::shared_ptr<const Buffer> data) : data_(std::move(data)) {}

HTTPDataResponse::HTTPDataResponse(Buffer data) : data_(std::make_shared<const Buffer>(std::move(data))) {}

uint64_t HTTPDataResponse::contentLength() {
    const auto body = data();
    return body ? body->size() : 0;
}

DataSlice HTTPDataResponse::readDataOfLength(uint64_t length) {
    const auto body = data();
    const uint64_t size = body ? body->size() : 0;
    if (offset_ >= size) return DataSlice();
    const uint64_t count = std::min(length, size - offset_);
    DataSlice slice(body, static_cast<size_t>(offset_), static_cast<size_t>(count));
    offset_ += count;
    return slice;
}

bool HTTPDataResponse::isDone() {
    // At or beyond the end: a position past the end has nothing more to give either.
    return offset_ >= contentLength();
}

void HTTPDataResponse::setData(std::shared_ptr<const Buffer> data) { data_ = std::move(data); }
