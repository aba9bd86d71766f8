#include "AsyncSocket/AsyncSocketPreBuffer.h"

#include <cstring>

AsyncSocketPreBuffer::AsyncSocketPreBuffer(size_t capacity)
    : preBuffer_(new uint8_t[capacity > 0 ? capacity : 1]),
      preBufferSize_(capacity),
      readPointer_(preBuffer_.get()),
      writePointer_(preBuffer_.get()) {}

void AsyncSocketPreBuffer::ensureCapacityForWrite(size_t n) {
    const size_t space = availableSpace();
    if (n <= space) return;
    const size_t newSize = preBufferSize_ + (n - space);
    const size_t readOffset = static_cast<size_t>(readPointer_ - preBuffer_.get());
    const size_t writeOffset = static_cast<size_t>(writePointer_ - preBuffer_.get());
    std::unique_ptr<uint8_t[]> block(new uint8_t[newSize]);
    if (writeOffset > 0) std::memcpy(block.get(), preBuffer_.get(), writeOffset);
    preBuffer_ = std::move(block);
    preBufferSize_ = newSize;
    readPointer_ = preBuffer_.get() + readOffset;
    writePointer_ = preBuffer_.get() + writeOffset;
}

void AsyncSocketPreBuffer::getReadBuffer(const uint8_t** bufferPtr, size_t* availableBytesPtr) const {
    if (bufferPtr) *bufferPtr = readPointer_;
    if (availableBytesPtr) *availableBytesPtr = availableBytes();
}

void AsyncSocketPreBuffer::didRead(size_t n) {
    // Never step past what was written, whatever the caller asks.
    if (n > availableBytes()) n = availableBytes();
    readPointer_ += n;
    if (readPointer_ == writePointer_) reset();
}

void AsyncSocketPreBuffer::getWriteBuffer(uint8_t** bufferPtr, size_t* availableSpacePtr) {
    if (bufferPtr) *bufferPtr = writePointer_;
    if (availableSpacePtr) *availableSpacePtr = availableSpace();
}

void AsyncSocketPreBuffer::didWrite(size_t n) {
    if (n > availableSpace()) n = availableSpace();
    writePointer_ += n;
}

void AsyncSocketPreBuffer::reset() {
    readPointer_ = preBuffer_.get();
    writePointer_ = preBuffer_.get();
}
