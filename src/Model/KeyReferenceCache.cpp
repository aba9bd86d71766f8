#include "Model/KeyReferenceCache.h"

#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"

namespace {

// A generator that keeps handing out references already issued is broken; give up rather
// than spin.
constexpr int kMaxDraws = 64;

}  // namespace

std::shared_ptr<KeyReferenceCache> KeyReferenceCache::sharedCache() {
    static const std::shared_ptr<KeyReferenceCache> cache = std::make_shared<KeyReferenceCache>();
    return cache;
}

KeyReferenceCache::KeyReferenceCache(KeyClock clock) : keyReferences_(std::move(clock)) {}

std::shared_ptr<const ApduKeyRef> KeyReferenceCache::generateApduKeyReference() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<std::uint32_t> reference = CommonUtil::getRandomUInt32();
    // The key bytes are drawn once; only the reference is drawn again while it is taken.
    const std::optional<ByteBuffer> data = reference ? CommonUtil::getRandomData(16) : std::nullopt;
    for (int draw = 0; data && reference && draw < kMaxDraws; ++draw) {
        if (!apduKeyDict_.contains(*reference)) {
            apduKeyDict_.emplace(*reference, *data);
            return std::make_shared<const ApduKeyRef>(*reference, *data);
        }
        reference = CommonUtil::getRandomUInt32();
    }
    platform::plainLog("Failed to generate an apdu key: random source failed");
    return nullptr;
}

std::optional<ByteBuffer> KeyReferenceCache::getApduKey(std::uint32_t referenceNumber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = apduKeyDict_.find(referenceNumber);
    if (it == apduKeyDict_.end()) return std::nullopt;
    return it->second;
}
