// A window onto a shared, immutable byte buffer: what a response hands the connection for each
// body piece. The slice keeps its buffer alive for as long as it is held, so a piece that is
// queued on the socket stays valid even when the response replaces its body meanwhile. No bytes
// are copied to make a slice.
//
// A plain value; the buffer it shares is never changed, so slices may cross threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class DataSlice {
public:
    using Buffer = std::vector<uint8_t>;

    DataSlice() = default;
    // offset and length are clamped to the buffer, so a slice never reaches past it.
    DataSlice(std::shared_ptr<const Buffer> buffer, size_t offset, size_t length);

    const uint8_t* data() const { return buffer_ ? buffer_->data() + offset_ : nullptr; }
    size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    const uint8_t* begin() const { return data(); }
    const uint8_t* end() const { return data() + length_; }

    // The buffer the bytes live in, and where in it they begin.
    const std::shared_ptr<const Buffer>& buffer() const { return buffer_; }
    size_t offset() const { return offset_; }

    Buffer bytes() const { return length_ ? Buffer(begin(), end()) : Buffer(); }
    std::string_view view() const {
        return length_ ? std::string_view(reinterpret_cast<const char*>(data()), length_) : std::string_view();
    }

private:
    std::shared_ptr<const Buffer> buffer_;
    size_t offset_ = 0;
    size_t length_ = 0;
};
