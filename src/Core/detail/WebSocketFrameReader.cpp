#include "Core/detail/WebSocketFrameReader.h"

#include "Platform/Text/StringEncoding.h"

namespace websocket_detail {

namespace {

constexpr uint8_t kOpCodeContinuation = 0;
constexpr uint8_t kOpCodeText = 1;

FrameRead exactly(uint64_t length, long tag) { return FrameRead{tag, length, 0, 0}; }

FrameResult closing() {
    FrameResult result;
    result.close = true;
    return result;
}

FrameResult message(std::optional<std::string> text, FrameRead next) {
    FrameResult result;
    result.hasMessage = true;
    result.message = std::move(text);
    result.reads.push_back(next);
    return result;
}

uint64_t bigEndian(std::span<const uint8_t> bytes) {
    uint64_t value = 0;
    for (uint8_t b : bytes) value = (value << 8) | b;
    return value;
}

}  // namespace

bool WebSocketFrameReader::isValidWebSocketFrame(uint8_t frame) {
    if (frame & 0x70) return false;
    switch (frame & 0x0F) {
    case 0: case 1: case 2: case 8: case 9: case 10:
        return true;
    default:
        return false;
    }
}

FrameRead WebSocketFrameReader::firstRead() const { return exactly(1, rfc6455_ ? TagPayloadPrefix : TagPrefix); }

FrameResult WebSocketFrameReader::didRead(long tag, std::span<const uint8_t> bytes) {
    switch (tag) {
    case TagPrefix: {
        if (bytes.size() != 1 || (bytes[0] & 0x80)) return closing();
        FrameResult result;
        // The terminator counts towards the limit.
        result.reads.push_back(FrameRead{TagMsgPlainBody, 0, 0xFF, kMaxMessageLength + 1});
        return result;
    }
    case TagMsgPlainBody:
        if (bytes.empty() || bytes.back() != 0xFF) return closing();
        return message(platform::stringFromBytes(bytes.first(bytes.size() - 1), platform::StringEncoding::UTF8),
                       exactly(1, TagPrefix));
    case TagPayloadPrefix: {
        if (bytes.size() != 1 || !isValidWebSocketFrame(bytes[0])) return closing();
        nextOpCode_ = bytes[0] & 0x0F;
        nextFrameFinal_ = (bytes[0] & 0x80) != 0;
        // A continuation needs a message to continue, and a new message may not begin inside
        // an unfinished one.
        if (nextOpCode_ == kOpCodeContinuation && !fragments_) return closing();
        if (nextOpCode_ == kOpCodeText && fragments_) return closing();
        FrameResult result;
        result.reads.push_back(exactly(1, TagPayloadLength));
        return result;
    }
    case TagPayloadLength: {
        if (bytes.size() != 1) return closing();
        nextFrameMasked_ = (bytes[0] & 0x80) != 0;
        maskingKey_.reset();
        const uint8_t length = bytes[0] & 0x7F;
        FrameResult result;
        if (length == 126) {
            result.reads.push_back(exactly(2, TagPayloadLength16));
        } else if (length == 127) {
            result.reads.push_back(exactly(8, TagPayloadLength64));
        } else {
            return payloadOfLength(length);
        }
        return result;
    }
    case TagPayloadLength16:
        if (bytes.size() != 2) return closing();
        return payloadOfLength(bigEndian(bytes));
    case TagPayloadLength64: {
        if (bytes.size() != 8) return closing();
        const uint64_t length = bigEndian(bytes);
        // RFC 6455 keeps the top bit clear; a longer payload than we take ends the web socket
        // before any of it is read.
        if (length >> 63) return closing();
        return payloadOfLength(length);
    }
    case TagMsgMaskingKey:
        if (bytes.size() != 4) return closing();
        maskingKey_ = std::array<uint8_t, 4>{bytes[0], bytes[1], bytes[2], bytes[3]};
        // The payload read is already queued behind this one, except for an empty payload,
        // which the socket would never complete.
        if (nextPayloadLength_ == 0) return payload({});
        return {};
    case TagMsgWithLength:
        if (bytes.size() != nextPayloadLength_) return closing();
        return payload(bytes);
    default:
        return {};
    }
}

FrameResult WebSocketFrameReader::payloadOfLength(uint64_t length) {
    if (length > kMaxMessageLength) return closing();
    if (nextOpCode_ == kOpCodeContinuation && fragments_ && length > kMaxMessageLength - fragments_->size()) {
        return closing();
    }
    nextPayloadLength_ = length;
    FrameResult result;
    if (nextFrameMasked_) result.reads.push_back(exactly(4, TagMsgMaskingKey));
    if (length > 0) {
        result.reads.push_back(exactly(length, TagMsgWithLength));
    } else if (!nextFrameMasked_) {
        return payload({});
    }
    return result;
}

FrameResult WebSocketFrameReader::payload(std::span<const uint8_t> bytes) {
    // Only text messages are taken; any other frame, read whole, ends the web socket.
    if (nextOpCode_ != kOpCodeText && nextOpCode_ != kOpCodeContinuation) return closing();
    std::string text(bytes.begin(), bytes.end());
    if (nextFrameMasked_ && maskingKey_) {
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(text[i] ^ (*maskingKey_)[i % 4]);
    }
    if (nextOpCode_ == kOpCodeContinuation) {
        fragments_->append(text);
        if (!nextFrameFinal_) return FrameResult{false, std::nullopt, false, {exactly(1, TagPayloadPrefix)}};
        text = std::move(*fragments_);
        fragments_.reset();
    } else if (!nextFrameFinal_) {
        fragments_ = std::move(text);
        return FrameResult{false, std::nullopt, false, {exactly(1, TagPayloadPrefix)}};
    }
    const std::span<const uint8_t> unmasked(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (!platform::isValidUTF8(unmasked)) return message(std::nullopt, exactly(1, TagPayloadPrefix));
    return message(std::move(text), exactly(1, TagPayloadPrefix));
}

}  // namespace websocket_detail
