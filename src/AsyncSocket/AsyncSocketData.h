// Byte buffers of the socket layer.
//
// `ByteBuffer` is the mutable byte buffer of reads, writes and terminators. Callers hand the
// socket shared buffers (`ByteBufferPtr`): a write's data is held, not copied, and must not be
// changed while the write is queued; a read into a caller's buffer writes into that buffer.
//
// `AsyncSocketData` is what a completed read hands to `didReadData`: either the read's own
// buffer, cut to the bytes read, or a window onto the caller's buffer (from the offset given
// with the read), not copied. It keeps the buffer alive for as long as it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using ByteBuffer = std::vector<uint8_t>;
using ByteBufferPtr = std::shared_ptr<ByteBuffer>;

class AsyncSocketData {
public:
    AsyncSocketData() = default;
    AsyncSocketData(std::shared_ptr<const ByteBuffer> buffer, size_t offset, size_t length)
        : buffer_(std::move(buffer)), offset_(offset), length_(length) {}

    const uint8_t* data() const { return buffer_ ? buffer_->data() + offset_ : nullptr; }
    size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    const uint8_t* begin() const { return data(); }
    const uint8_t* end() const { return data() + length_; }

    // The bytes as a copy, or as text (for header lines).
    ByteBuffer bytes() const { return length_ ? ByteBuffer(begin(), end()) : ByteBuffer(); }
    std::string_view view() const {
        return length_ ? std::string_view(reinterpret_cast<const char*>(data()), length_) : std::string_view();
    }
    std::string str() const { return std::string(view()); }

    // The buffer the bytes live in (the read's own buffer or the caller's).
    const std::shared_ptr<const ByteBuffer>& buffer() const { return buffer_; }
    size_t offset() const { return offset_; }

private:
    std::shared_ptr<const ByteBuffer> buffer_;
    size_t offset_ = 0;
    size_t length_ = 0;
};
