#include "Model/PinProtectedApdu.h"

#include <vector>

#include "Model/KeyReferenceCache.h"
#include "Model/PinDescriptor.h"
#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"

PinProtectedApdu::PinProtectedApdu(std::string rawApdu) : rawApdu_(std::move(rawApdu)) {
    decodedApdu_ = decode();
    decodedApduInHexString_ = CommonUtil::hexStringFromData(decodedApdu_);
}

std::optional<ByteBuffer> PinProtectedApdu::decode() {
    const ByteBuffer bytes = CommonUtil::dataFromHexString(std::string_view(rawApdu_));
    if (bytes.size() < 3 || bytes[0] != 0xFF || bytes[1] != 0xFF) {
        platform::plainLog("Error! Failed to decode. This is not a valid pin procted apdu");
        return std::nullopt;
    }
    numberOfPins_ = bytes[2];

    std::vector<PinDescriptor> descriptors;
    std::size_t offset = 3;
    for (std::int64_t i = 0; i < numberOfPins_; ++i) {
        if (std::optional<PinDescriptor> descriptor = PinDescriptor::fromApdu(bytes, offset)) {
            offset += static_cast<std::size_t>(descriptor->length());
            descriptors.push_back(*descriptor);
        }
    }
    ByteBuffer command(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end());

    const std::shared_ptr<KeyReferenceCache> cache = KeyReferenceCache::sharedCache();
    for (const PinDescriptor& descriptor : descriptors) {
        const std::optional<ByteBuffer> key = cache->getApduKey(descriptor.keyReference());
        if (!key) {
            platform::plainLog("No key found for this reference: %i ", static_cast<std::int32_t>(descriptor.keyReference()));
            return std::nullopt;
        }
        const auto pinOffset = static_cast<std::size_t>(descriptor.pinOffset());
        const auto pinLength = static_cast<std::size_t>(descriptor.pinLength());
        // The mask takes 2L key bytes and the PIN must lie inside the command; a descriptor
        // that asks for more cannot be unmasked, and a half-unmasked PIN must never go out.
        if (2 * pinLength > key->size() || pinOffset + pinLength > command.size()) {
            platform::plainLog("Error! PIN out of range for this apdu: %@", descriptor.description());
            return std::nullopt;
        }
        for (std::size_t j = 0; j < pinLength; ++j)
            command[pinOffset + j] = static_cast<std::uint8_t>((*key)[j] ^ command[pinOffset + j] ^ (*key)[pinLength + j]);
    }
    return command;
}
