// A card's reply to a command APDU: the reply data and the status word SW1 SW2, and the reply
// text of the API ("apdu" of an APDU reply).
//
// A plain value object: not thread-safe, but no state is shared between instances. Callers
// that share one hold it in a std::shared_ptr.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Util/Bytes.h"

class ResponseAPDU {
public:
    // Reply data (may be nil) and the status word, SW1 in the high byte.
    ResponseAPDU(std::optional<ByteBuffer> replyData, std::uint16_t status);

    // A reply from a dictionary's "apdu" text: its bytes (CommonUtil::dataFromHexString);
    // fewer than 2 bytes (or no "apdu" text at all) give status 0 and no data; otherwise the
    // last two bytes are the status word and the bytes before them, when there are any, the
    // data (nil when there are none).
    static ResponseAPDU fromDictionary(const nlohmann::json& dictionary);

    // The reply text: the data in upper-case hexadecimal (left out when nil or empty), then the
    // status word in lower-case hexadecimal without leading zeros ("%x"): 6F109000, 6a82, 90, 0.
    std::string hexStringWithStatusCode() const;

    // The data followed by the status word as two bytes, big-endian.
    ByteBuffer dataWithStatusCode() const;

    // "[ResponseAPDU] status: %x, data: %@"
    std::string description() const;

    std::uint16_t status() const { return status_; }
    const std::optional<ByteBuffer>& replyData() const { return replyData_; }

private:
    std::uint16_t status_ = 0;
    std::optional<ByteBuffer> replyData_;
};
