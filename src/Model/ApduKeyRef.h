// A masking key for PIN-protected APDUs: a random 32-bit reference with 16 random key bytes.
// A page asks for one ("getref"), masks the PIN bytes of its command with it, and names it by
// its reference in the PIN descriptors; the key stays valid until the process ends.
//
// A value object, immutable after construction and safe to read from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Util/Bytes.h"

class ApduKeyRef {
public:
    ApduKeyRef(std::uint32_t referenceNumber, ByteBuffer data);

    // A key read back from a JSON text: "ref" as an unsigned 32-bit number, "data" through
    // CommonUtil::dataFromHexString. A text that does not parse leaves both fields empty.
    static ApduKeyRef fromJsonString(std::string_view json);

    // The getref reply body: {"ref": the reference as an unsigned number, "data": the key bytes
    // as upper-case hexadecimal without separators (32 digits for an issued key)}.
    nlohmann::json jsonDict() const;
    // The reference as 4 big-endian bytes in upper-case hexadecimal.
    std::string keyInHexString() const;
    // "ApduKeyRef [ref:%lu, data:%@]"
    std::string description() const;

    std::uint32_t referenceNumber() const { return referenceNumber_; }
    const ByteBuffer& data() const { return data_; }

private:
    std::uint32_t referenceNumber_ = 0;
    ByteBuffer data_;
};
