#include "AsyncSocket/AsyncReadPacket.h"

#include <algorithm>
#include <cstring>

namespace {

// The offset of the first whole terminator in bytes[0, length), or -1. A header line is read
// through the pre-buffer that holds the whole head, so the search jumps from one candidate
// first byte to the next instead of comparing at every offset.
int64_t findTerminator(const uint8_t* bytes, uint64_t length, const uint8_t* term, uint64_t termLength) {
    if (termLength == 0 || length < termLength) return -1;
    const uint8_t* const end = bytes + (length - termLength + 1);  // past the last start
    for (const uint8_t* at = bytes; at < end; ++at) {
        at = static_cast<const uint8_t*>(std::memchr(at, term[0], static_cast<size_t>(end - at)));
        if (!at) return -1;
        if (std::memcmp(at + 1, term + 1, termLength - 1) == 0) return at - bytes;
    }
    return -1;
}

}  // namespace

AsyncReadTerminator::AsyncReadTerminator(std::span<const uint8_t> bytes) : size_(bytes.size()) {
    if (size_ <= kInlineSize) {
        if (size_ > 0) std::memcpy(inline_, bytes.data(), size_);
    } else {
        heap_.assign(bytes.begin(), bytes.end());
    }
}

AsyncReadPacket::AsyncReadPacket(ByteBufferPtr buf, uint64_t offset, uint64_t maxLen, double time,
                                 uint64_t length, std::optional<std::span<const uint8_t>> terminator, long tagValue)
    : maxLength(maxLen), timeout(time), readLength(length), tag(tagValue) {
    if (terminator) term.emplace(*terminator);
    if (buf) {
        callerBuffer = std::move(buf);
        buffer = callerBuffer.get();
        startOffset = offset;
        originalBufferLength = buffer->size();
    } else {
        ownBuffer.reserve(static_cast<size_t>(std::min(readLength, kInitialReserve)));
        buffer = &ownBuffer;
        startOffset = 0;
        originalBufferLength = 0;
    }
}

uint64_t AsyncReadPacket::roomLeft() const {
    const uint64_t used = startOffset + bytesDone;
    return buffer->size() > used ? buffer->size() - used : 0;
}

void AsyncReadPacket::ensureCapacityForAdditionalDataOfLength(uint64_t n) {
    const uint64_t needed = startOffset + bytesDone + n;
    if (buffer->size() >= needed) return;
    if (buffer->capacity() < needed) {
        uint64_t capacity = std::max<uint64_t>(needed, 2 * static_cast<uint64_t>(buffer->capacity()));
        uint64_t end = 0;
        if (readLength > 0) end = startOffset + readLength;
        else if (maxLength > 0) end = startOffset + maxLength;
        if (end > 0) capacity = std::max(needed, std::min(capacity, end));
        buffer->reserve(static_cast<size_t>(capacity));
    }
    // Only the bytes about to be read into are zeroed.
    buffer->resize(static_cast<size_t>(needed));
}

uint64_t AsyncReadPacket::readLengthForNonTermWithHint(uint64_t hint) const {
    if (readLength > 0) return std::min(readLength - bytesDone, hint);
    if (maxLength > 0) return std::min(maxLength - bytesDone, hint);
    return hint;
}

uint64_t AsyncReadPacket::readLengthForTermWithHint(uint64_t hint, bool* shouldPreBuffer) const {
    uint64_t result = hint;
    if (maxLength > 0) result = std::min(result, maxLength - bytesDone);
    if (shouldPreBuffer) *shouldPreBuffer = roomLeft() < result;
    return result;
}

uint64_t AsyncReadPacket::optimalReadLengthWithDefault(uint64_t defaultValue, bool* shouldPreBuffer) const {
    if (readLength > 0) {
        if (shouldPreBuffer) *shouldPreBuffer = false;
        return std::min(defaultValue, readLength - bytesDone);
    }
    uint64_t result = defaultValue;
    if (maxLength > 0) result = std::min(result, maxLength - bytesDone);
    if (shouldPreBuffer) *shouldPreBuffer = roomLeft() < result;
    return result;
}

uint64_t AsyncReadPacket::readLengthForTermWithPreBuffer(const AsyncSocketPreBuffer& preBuffer, bool* found) const {
    const uint64_t termLength = term ? term->size() : 0;
    const uint64_t available = preBuffer.availableBytes();
    if (found) *found = false;
    if (termLength == 0) return available;
    if (bytesDone + available < termLength) return available;

    uint64_t maxPreBufferLength = available;
    if (maxLength > 0) maxPreBufferLength = std::min(maxPreBufferLength, maxLength - bytesDone);

    const uint8_t* termBytes = term->data();
    const uint8_t* pre = preBuffer.readBuffer();
    uint64_t bufLen = std::min(bytesDone, termLength - 1);
    // Candidate positions of the terminator's start: in the packet's last bufLen bytes, then
    // in the pre-buffer up to maxPreBufferLength.
    if (bufLen + maxPreBufferLength < termLength) return maxPreBufferLength;
    uint64_t iterations = bufLen + maxPreBufferLength - termLength + 1;

    const uint8_t* packetTail = buffer->data() + startOffset + bytesDone;
    // The terminator is short (a line end); larger ones fall back to the heap.
    uint8_t stackScratch[64];
    std::unique_ptr<uint8_t[]> heapScratch;
    uint8_t* scratch = stackScratch;
    if (termLength > sizeof stackScratch) {
        heapScratch.reset(new uint8_t[termLength]);
        scratch = heapScratch.get();
    }

    // A terminator that straddles the bytes already read and the pre-buffer.
    while (iterations > 0 && bufLen > 0) {
        std::memcpy(scratch, packetTail - bufLen, bufLen);
        std::memcpy(scratch + bufLen, pre, termLength - bufLen);
        if (std::memcmp(scratch, termBytes, termLength) == 0) {
            if (found) *found = true;
            return termLength - bufLen;
        }
        --bufLen;
        --iterations;
    }
    // One wholly inside the pre-buffer: the remaining iterations are its start offsets.
    if (iterations > 0) {
        const int64_t at = findTerminator(pre, iterations - 1 + termLength, termBytes, termLength);
        if (at >= 0) {
            if (found) *found = true;
            return static_cast<uint64_t>(at) + termLength;
        }
    }
    return maxPreBufferLength;
}

int64_t AsyncReadPacket::searchForTermAfterPreBuffering(int64_t numBytes) const {
    if (!term || term->empty()) return -1;
    const int64_t termLength = static_cast<int64_t>(term->size());
    const int64_t done = static_cast<int64_t>(bytesDone);
    const uint8_t* base = buffer->data() + startOffset;
    const int64_t from = done >= termLength ? done - termLength + 1 : 0;
    const int64_t at = findTerminator(base + from, static_cast<uint64_t>(done + numBytes - from), term->data(),
                                      static_cast<uint64_t>(termLength));
    if (at < 0) return -1;
    return (done + numBytes) - (from + at + termLength);
}
