// One PIN descriptor of a PIN-protected APDU: which masking key masks which bytes of the
// command. At offset o of the decoded bytes:
//   o          n, the size of the key reference field
//   o+1..o+n   the key reference, big-endian (of a longer field only the last 4 bytes count)
//   o+1+n      PIN offset: the first PIN byte's position in the command APDU (CLA is 0)
//   o+2+n      PIN length L
// so a descriptor occupies n + 3 bytes.
//
// A value object; safe to read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

class PinDescriptor {
public:
    // The descriptor at `offset` of the decoded bytes, or nil (after the log line "Error: APDU
    // length mismatch.") when the bytes end before the descriptor does. Reads no byte outside
    // `apdu`.
    static std::optional<PinDescriptor> fromApdu(std::span<const std::uint8_t> apdu, std::size_t offset);

    std::uint32_t keyReference() const { return keyReference_; }
    std::int32_t pinOffset() const { return pinOffset_; }
    std::int32_t pinLength() const { return pinLength_; }
    // The descriptor's size in bytes, n + 3.
    std::int32_t length() const { return length_; }

    // "RefNum: %i, offset: %i, pinLength: %i, length: %i"
    std::string description() const;

private:
    PinDescriptor() = default;

    std::uint32_t keyReference_ = 0;
    std::int32_t pinOffset_ = 0;
    std::int32_t pinLength_ = 0;
    std::int32_t length_ = 0;
};
