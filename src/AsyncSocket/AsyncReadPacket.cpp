#include "AsyncSocket/AsyncReadPacket.h"

#include <algorithm>
#include <cstring>

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
        bufferOwner = false;
        originalBufferLength = buffer->size();
    } else {
        // The length comes from the peer's own words (a Content-Length); room beyond the
        // first megabyte is made only as the bytes actually arrive.
        ownBuffer.assign(std::min<uint64_t>(readLength, kMaxInitialBuffer), uint8_t{0});
        buffer = &ownBuffer;
        startOffset = 0;
        bufferOwner = true;
        originalBufferLength = 0;
    }
}

uint64_t AsyncReadPacket::roomLeft() const {
    const uint64_t used = startOffset + bytesDone;
    return buffer->size() > used ? buffer->size() - used : 0;
}

void AsyncReadPacket::ensureCapacityForAdditionalDataOfLength(uint64_t n) {
    const uint64_t room = roomLeft();
    if (room < n) buffer->resize(buffer->size() + (n - room));
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

    uint64_t preOffset = 0;
    while (iterations > 0) {
        if (bufLen > 0) {
            std::memcpy(scratch, packetTail - bufLen, bufLen);
            std::memcpy(scratch + bufLen, pre, termLength - bufLen);
            if (std::memcmp(scratch, termBytes, termLength) == 0) {
                if (found) *found = true;
                return termLength - bufLen;
            }
            --bufLen;
        } else {
            if (std::memcmp(pre + preOffset, termBytes, termLength) == 0) {
                if (found) *found = true;
                return preOffset + termLength;
            }
            ++preOffset;
        }
        --iterations;
    }
    return maxPreBufferLength;
}

int64_t AsyncReadPacket::searchForTermAfterPreBuffering(int64_t numBytes) const {
    if (!term || term->empty()) return -1;
    const int64_t termLength = static_cast<int64_t>(term->size());
    const int64_t done = static_cast<int64_t>(bytesDone);
    const uint8_t* base = buffer->data() + startOffset;
    int64_t i = done >= termLength ? done - termLength + 1 : 0;
    for (; i + termLength <= done + numBytes; ++i) {
        if (std::memcmp(base + i, term->data(), static_cast<size_t>(termLength)) == 0) {
            return (done + numBytes) - (i + termLength);
        }
    }
    return -1;
}
