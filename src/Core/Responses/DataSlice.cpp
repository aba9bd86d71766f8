#include "Core/Responses/DataSlice.h"

#include <algorithm>

DataSlice::DataSlice(std::shared_ptr<const Buffer> buffer, size_t offset, size_t length)
    : buffer_(std::move(buffer)) {
    const size_t size = buffer_ ? buffer_->size() : 0;
    offset_ = std::min(offset, size);
    length_ = std::min(length, size - offset_);
}
