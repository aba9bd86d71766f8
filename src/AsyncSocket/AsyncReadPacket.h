// One queued read request of a socket: read an exact length, read up to and including a
// terminator (optionally with a maximum length), or read whatever one step brings.
//
// The packet decides how many bytes a read step may take and finds a terminator that
// straddles the bytes already read and the socket's pre-buffer. Used only on the socket
// queue; the socket builds packets on the caller's thread and hands them over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "AsyncSocket/AsyncSocketData.h"
#include "AsyncSocket/AsyncSocketPreBuffer.h"

// The terminator of a read, a copy of the caller's. A short one (a line end) lives in the
// packet itself: a server reads every header line with one, and an allocation per line for
// two bytes would be waste.
class AsyncReadTerminator {
public:
    explicit AsyncReadTerminator(std::span<const uint8_t> bytes);

    const uint8_t* data() const { return heap_.empty() ? inline_ : heap_.data(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    static constexpr size_t kInlineSize = 16;
    uint8_t inline_[kInlineSize];
    ByteBuffer heap_;  // longer terminators only
    size_t size_;
};

class AsyncReadPacket {
public:
    // With a caller's buffer the read's bytes go into that very buffer from startOffset on;
    // without one (nullptr) the packet makes its own buffer inside itself, so a completed read
    // hands it on as part of the packet. terminator is copied; an empty optional means "no
    // terminator". The packet stays where it was made (buffer may point into it).
    //
    // An own buffer starts empty: a length to read is often the peer's own word (a
    // Content-Length, a frame header), so it only reserves room for a short read, at most
    // kInitialReserve bytes; the buffer grows as bytes arrive.
    static constexpr uint64_t kInitialReserve = 4096;
    AsyncReadPacket(ByteBufferPtr buffer, uint64_t startOffset, uint64_t maxLength, double timeout,
                    uint64_t readLength, std::optional<std::span<const uint8_t>> terminator, long tag);
    AsyncReadPacket(const AsyncReadPacket&) = delete;
    AsyncReadPacket& operator=(const AsyncReadPacket&) = delete;

    // Lengthens the buffer so that at least n bytes of room follow the bytes already read.
    // The engine asks only for bytes that have arrived, and reads into them at once: the
    // buffer's capacity grows geometrically, never past the read's own end (readLength or
    // maxLength), so that a read taken in many small steps neither copies its bytes over and
    // over nor holds much more than it has read.
    void ensureCapacityForAdditionalDataOfLength(uint64_t n);

    // Exact-length and whatever-is-available reads: how many of the hint's bytes to take.
    uint64_t readLengthForNonTermWithHint(uint64_t hint) const;
    // Terminator reads: how many bytes to read from the descriptor; *shouldPreBuffer (when
    // given) says whether the packet's buffer lacks room for them, so that they should go to
    // the pre-buffer first.
    uint64_t readLengthForTermWithHint(uint64_t hint, bool* shouldPreBuffer) const;
    // The read length for a stream that offers a default size (never used by this system).
    uint64_t optimalReadLengthWithDefault(uint64_t defaultValue, bool* shouldPreBuffer) const;
    // Terminator reads with a non-empty pre-buffer: how many bytes to move from it into the
    // packet, and whether they end with the terminator. Compares the packet's tail and the
    // pre-buffer in place, with a scratch area on the stack.
    uint64_t readLengthForTermWithPreBuffer(const AsyncSocketPreBuffer& preBuffer, bool* found) const;
    // After n bytes were read straight into the buffer behind bytesDone (and before bytesDone
    // moves on): the number of those bytes that lie past the terminator, or -1 when the
    // terminator is not there.
    int64_t searchForTermAfterPreBuffering(int64_t numBytes) const;

    bool isTermRead() const { return term.has_value(); }
    // Room left in the buffer behind the bytes already read.
    uint64_t roomLeft() const;
    uint8_t* writePosition() { return buffer->data() + startOffset + bytesDone; }
    // True when the bytes go into the packet's own buffer rather than a caller's.
    bool bufferOwner() const { return !callerBuffer; }

    // The buffer the bytes go into: the caller's (held in callerBuffer) or ownBuffer.
    ByteBuffer* buffer;
    ByteBufferPtr callerBuffer;
    ByteBuffer ownBuffer;
    uint64_t startOffset;
    uint64_t bytesDone = 0;
    uint64_t maxLength;
    double timeout;
    uint64_t readLength;
    std::optional<AsyncReadTerminator> term;
    uint64_t originalBufferLength;
    long tag;
};
