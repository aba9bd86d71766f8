#include "Model/PinDescriptor.h"

#include "Platform/PlainLog.h"

std::optional<PinDescriptor> PinDescriptor::fromApdu(std::span<const std::uint8_t> apdu, std::size_t offset) {
    if (offset >= apdu.size() || apdu.size() - offset < static_cast<std::size_t>(apdu[offset]) + 3) {
        platform::plainLog("Error: APDU length mismatch.");
        return std::nullopt;
    }
    const std::size_t n = apdu[offset];
    PinDescriptor descriptor;
    for (std::size_t i = 0; i < n; ++i)
        descriptor.keyReference_ = descriptor.keyReference_ << 8 | apdu[offset + 1 + i];
    descriptor.pinOffset_ = apdu[offset + n + 1];
    descriptor.pinLength_ = apdu[offset + n + 2];
    descriptor.length_ = static_cast<std::int32_t>(n + 3);
    return descriptor;
}

std::string PinDescriptor::description() const {
    return platform::format("RefNum: %i, offset: %i, pinLength: %i, length: %i", static_cast<std::int32_t>(keyReference_),
                            pinOffset_, pinLength_, length_);
}
