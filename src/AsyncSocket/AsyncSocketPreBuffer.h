// A linear read-ahead store of bytes that arrived before the current read needed them.
//
// One heap block, owned by the object. Bytes are appended behind the write pointer and taken
// from the read pointer; they are never moved inside the block, and the consumed front is
// reclaimed only when the buffer empties (both pointers go back to the start), so in steady
// state nothing is allocated. The block grows only by what one write needs.
//
// Not thread-safe: a socket uses it only on its socket queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class AsyncSocketPreBuffer {
public:
    explicit AsyncSocketPreBuffer(size_t capacity);
    AsyncSocketPreBuffer(const AsyncSocketPreBuffer&) = delete;
    AsyncSocketPreBuffer& operator=(const AsyncSocketPreBuffer&) = delete;

    // Grows the block, keeping its contents, so that at least n bytes follow the write pointer.
    void ensureCapacityForWrite(size_t n);

    size_t availableBytes() const { return static_cast<size_t>(writePointer_ - readPointer_); }
    const uint8_t* readBuffer() const { return readPointer_; }
    // Stores the read pointer and the available bytes in whichever out-parameter is present.
    void getReadBuffer(const uint8_t** bufferPtr, size_t* availableBytesPtr) const;
    // Consumes n bytes; when the buffer is then empty both pointers go back to the start.
    void didRead(size_t n);

    size_t availableSpace() const { return preBufferSize_ - static_cast<size_t>(writePointer_ - preBuffer_.get()); }
    uint8_t* writeBuffer() { return writePointer_; }
    void getWriteBuffer(uint8_t** bufferPtr, size_t* availableSpacePtr);
    // Takes n bytes that were stored at writeBuffer().
    void didWrite(size_t n);

    // Empties the buffer; the block keeps its size.
    void reset();

    size_t capacity() const { return preBufferSize_; }

private:
    std::unique_ptr<uint8_t[]> preBuffer_;
    size_t preBufferSize_;
    uint8_t* readPointer_;
    uint8_t* writePointer_;
};
