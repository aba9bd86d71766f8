// A document key: a random 64-bit reference (the document's "sessionref") with 16 random key
// bytes, valid for 300 seconds after it was made. The key bytes encrypt the stored document
// file (as an AES-256 key padded with zero bytes); once the key is gone, so is the document.
//
// A value object, immutable after construction and safe to read from any thread. The caches
// hand keys out as std::shared_ptr<const SessionKeyReference>.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Platform/BootClock.h"
#include "Util/Bytes.h"

// The clock the key caches read to decide expiry. Empty means the real clock, which counts the
// time the machine sleeps too; tests install one of their own so that expiry is tested without
// sleeping.
using KeyClock = std::function<platform::BootClock::time_point()>;

class SessionKeyReference {
public:
    // How long a key stays valid. At exactly this age it is still valid; any later it is not.
    static constexpr std::chrono::seconds kLifetime{300};

    // A key made at `created`.
    SessionKeyReference(std::uint64_t referenceNumber, ByteBuffer data, platform::BootClock::time_point created);
    // A key made now, by the real clock.
    SessionKeyReference(std::uint64_t referenceNumber, ByteBuffer data);

    // A key read back from a JSON text: "ref" as an unsigned 64-bit number, "data" kept as
    // dataInHexString and turned into bytes. No creation time is set, so such a key counts as
    // expired. A text that does not parse leaves every field empty.
    static SessionKeyReference fromJsonString(std::string_view json);

    // True when the creation time plus kLifetime is earlier than `now`, or there is no
    // creation time.
    bool expired(platform::BootClock::time_point now) const;
    bool expired() const;  // by the real clock

    std::uint64_t referenceNumber() const { return referenceNumber_; }
    const ByteBuffer& data() const { return data_; }
    const std::optional<platform::BootClock::time_point>& timestamp() const { return timestamp_; }
    // The key bytes as upper-case hexadecimal without separators.
    const std::string& dataInHexString() const { return dataInHexString_; }

    // {"ref": reference as an unsigned number, "data": dataInHexString}
    nlohmann::json jsonDict() const;
    // The reference as 8 big-endian bytes in upper-case hexadecimal.
    std::string keyInHexString() const;
    // "SessionKeyReference [ref:%lu, data:%@]"
    std::string description() const;

private:
    SessionKeyReference() = default;

    std::uint64_t referenceNumber_ = 0;
    ByteBuffer data_;
    std::optional<platform::BootClock::time_point> timestamp_;
    std::string dataInHexString_;
};
