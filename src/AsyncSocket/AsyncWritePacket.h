// One queued write request of a socket: the caller's data (held, not copied), the bytes
// already sent, the caller's tag and the time allowed (negative: none). Used on the socket
// queue only.
#pragma once

#include <cstdint>
#include <memory>

#include "AsyncSocket/AsyncSocketData.h"

class AsyncWritePacket {
public:
    AsyncWritePacket(std::shared_ptr<const ByteBuffer> data, double timeout, long tag)
        : buffer(std::move(data)), tag(tag), timeout(timeout) {}

    std::shared_ptr<const ByteBuffer> buffer;
    uint64_t bytesDone = 0;
    long tag;
    double timeout;
};
