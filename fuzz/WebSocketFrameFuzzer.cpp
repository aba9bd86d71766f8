// libFuzzer target for the web socket frame reader. The first byte chooses the framing (RFC
// 6455 or the older drafts); the rest is what the peer sends. The reader is driven as the
// socket drives it - each read it asks for is completed with the next bytes of the input, a
// read up to a terminator only when the terminator comes within its limit - until it ends the
// web socket or the input runs out. Every read it asks for must be sane, a message never
// longer than the limit, and nothing may be asked of it after it has ended.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <span>
#include <vector>

#include "Core/detail/WebSocketFrameReader.h"

using websocket_detail::FrameRead;
using websocket_detail::WebSocketFrameReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    WebSocketFrameReader reader((data[0] & 1) != 0);
    const std::span<const uint8_t> stream(data + 1, size - 1);
    std::deque<FrameRead> reads{reader.firstRead()};
    size_t at = 0;
    while (!reads.empty()) {
        const FrameRead read = reads.front();
        reads.pop_front();
        size_t length = read.length;
        if (length == 0) {
            if (read.maxLength == 0 || read.maxLength > WebSocketFrameReader::kMaxMessageLength + 1) std::abort();
            const void* end = std::memchr(stream.data() + at, read.terminator, stream.size() - at);
            if (!end) break;
            length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (stream.data() + at)) + 1;
            if (length > read.maxLength) break;  // the socket fails the read and closes
        } else if (read.length > WebSocketFrameReader::kMaxMessageLength) {
            std::abort();
        }
        if (stream.size() - at < length) break;
        // The read's bytes in a buffer of their own, so that a read past them is caught.
        const std::vector<uint8_t> bytes(stream.begin() + static_cast<ptrdiff_t>(at),
                                         stream.begin() + static_cast<ptrdiff_t>(at + length));
        at += length;
        const websocket_detail::FrameResult result = reader.didRead(read.tag, bytes);
        if (result.hasMessage && result.message && result.message->size() > WebSocketFrameReader::kMaxMessageLength) std::abort();
        if (result.close) {
            if (!result.reads.empty() || result.hasMessage) std::abort();
            break;
        }
        reads.insert(reads.end(), result.reads.begin(), result.reads.end());
        if (reads.size() > 2) std::abort();  // at most the masking key and the payload
    }
    return 0;
}
