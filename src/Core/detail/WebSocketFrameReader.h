// The reading side of a web socket, apart from its socket: which read comes next, and what a
// completed read means. WebSocket drives it with its socket's reads; the fuzz target drives it
// with bytes of its own. Both framings:
//
// - older drafts: a type byte, then (top bit clear) text up to and including the byte 0xFF;
//   a type byte with the top bit set ends the web socket;
// - RFC 6455: two header bytes, a 16-bit or 64-bit length when the 7-bit one says so, the
//   masking key when the mask bit is set, then the payload, unmasked. Only text messages are
//   taken: a text frame with the final-fragment bit set is a message; one without it begins
//   a message that continuation frames carry on, the one with the final-fragment bit ending
//   it, and the message is delivered once, whole, after its last frame. Any other valid
//   frame (binary, close, ping, pong) is read whole and then ends the web socket, also in
//   the middle of a message; a frame with reserved bits or an unknown opcode, a continuation
//   frame without a message to continue, or a text frame inside an unfinished message ends
//   it at once.
//
// A message or payload longer than kMaxMessageLength ends the web socket (a declared length
// at once - for a fragmented message, the length of its frames so far and this one - and
// older-draft text when the terminator has not come within the limit, which the socket
// reports as a failed read). Nothing of a message that ends the web socket is delivered. An
// empty payload is an empty message. Text that is not well-formed UTF-8 is a message without
// text (nullopt); a fragmented message is judged whole.
//
// One reader per web socket, used on one queue at a time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace websocket_detail {

// One read to queue on the socket: exactly `length` bytes, or (length 0) up to and
// including `terminator`, at most `maxLength` bytes in all.
struct FrameRead {
    long tag = 0;
    uint64_t length = 0;
    uint8_t terminator = 0;
    uint64_t maxLength = 0;
};

// What a completed read meant: a message (hasMessage; the text, or nullopt when it is not
// UTF-8), the end of the web socket, and the reads to queue next, in order.
struct FrameResult {
    bool hasMessage = false;
    std::optional<std::string> message;
    bool close = false;
    std::vector<FrameRead> reads;
};

class WebSocketFrameReader {
public:
    // The longest message or payload taken: 4 MiB.
    static constexpr uint64_t kMaxMessageLength = 4ull * 1024 * 1024;

    // Read tags of the socket.
    enum Tag : long {
        TagPrefix = 300,           // older draft: the type byte
        TagMsgPlainBody = 301,     // older draft: text up to 0xFF
        TagMsgWithLength = 302,    // RFC 6455: the payload
        TagMsgMaskingKey = 303,    // RFC 6455: the masking key
        TagPayloadPrefix = 304,    // RFC 6455: first header byte
        TagPayloadLength = 305,    // RFC 6455: mask bit and 7-bit length
        TagPayloadLength16 = 306,  // RFC 6455: 16-bit length
        TagPayloadLength64 = 307,  // RFC 6455: 64-bit length
    };

    explicit WebSocketFrameReader(bool rfc6455) : rfc6455_(rfc6455) {}

    // The read that begins the first frame.
    FrameRead firstRead() const;
    // The bytes of the completed read with that tag. An unknown tag means nothing.
    FrameResult didRead(long tag, std::span<const uint8_t> bytes);

    // Whether a first RFC 6455 header byte is acceptable: no reserved bit, and the opcode is
    // continuation, text, binary, close, ping or pong.
    static bool isValidWebSocketFrame(uint8_t frame);

private:
    FrameResult payloadOfLength(uint64_t length);
    FrameResult payload(std::span<const uint8_t> bytes);

    const bool rfc6455_;
    bool nextFrameMasked_ = false;
    bool nextFrameFinal_ = false;
    uint64_t nextOpCode_ = 0;
    // The frames of a fragmented text message so far, unmasked; nullopt outside one.
    std::optional<std::string> fragments_;
    std::optional<std::array<uint8_t, 4>> maskingKey_;
    uint64_t nextPayloadLength_ = 0;
};

}  // namespace websocket_detail
