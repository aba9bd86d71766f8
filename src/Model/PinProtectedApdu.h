// A PIN-protected APDU text and its unmasking. The text is hexadecimal (cleaned like every
// APDU text); its bytes are
//   FF FF  N  descriptor 1 .. descriptor N  command APDU (PIN bytes masked)
// (see PinDescriptor). The page masks PIN byte j of a descriptor as
//   masked j = PIN j XOR key j XOR key (L + j),   j = 0 .. L-1,
// with the 16-byte masking key the descriptor names; decode inverts that with the keys of
// KeyReferenceCache::sharedCache().
//
// A text is not decodable (decode gives nil, and the API then sends the bare header
// 00 00 00 00 for it, which the card answers) when:
//   - it has fewer than 3 bytes or does not begin FF FF: "Error! Failed to decode. This is
//     not a valid pin procted apdu";
//   - a descriptor names a key never issued: "No key found for this reference: %i ";
//   - a descriptor's PIN is longer than half its key (8 bytes for a masking key) or reaches
//     past the end of the command: "Error! PIN out of range for this apdu: %@" (the
//     descriptor). Nothing half-unmasked is ever returned.
// A descriptor that does not fit in the bytes is logged and skipped ("Error: APDU length
// mismatch."); the next one is read at the same offset.
//
// Built and read on one thread at a time; holds no shared state besides the key cache.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Util/Bytes.h"

class PinProtectedApdu {
public:
    // Keeps the text as rawApdu and decodes it at once.
    explicit PinProtectedApdu(std::string rawApdu);

    // The unmasked command APDU bytes, or nil (rules above). Sets numberOfPins.
    std::optional<ByteBuffer> decode();

    const std::string& rawApdu() const { return rawApdu_; }
    // What the API transmits in place of the text: decodedApdu in upper-case hexadecimal
    // without separators; nil when decodedApdu is nil.
    const std::optional<std::string>& decodedApduInHexString() const { return decodedApduInHexString_; }
    const std::optional<ByteBuffer>& decodedApdu() const { return decodedApdu_; }
    // The N of the text (0 until a text with the FF FF mark has been decoded).
    std::int64_t numberOfPins() const { return numberOfPins_; }

private:
    std::string rawApdu_;
    std::optional<std::string> decodedApduInHexString_;
    std::optional<ByteBuffer> decodedApdu_;
    std::int64_t numberOfPins_ = 0;
};
