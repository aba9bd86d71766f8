#include "Util/SessionKeyCache.h"

#include <algorithm>
#include <cstdlib>

#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"

namespace {

// A generator that hands out the same pair this often is broken; give up rather than spin.
constexpr int kMaxDraws = 64;

}  // namespace

std::shared_ptr<SessionKeyCache> SessionKeyCache::sharedCache() {
    static const std::shared_ptr<SessionKeyCache> cache = std::make_shared<SessionKeyCache>();
    return cache;
}

SessionKeyCache::SessionKeyCache(KeyClock clock) : clock_(std::move(clock)) {}

platform::BootClock::time_point SessionKeyCache::now() const {
    return clock_ ? clock_() : platform::BootClock::now();
}

std::shared_ptr<const SessionKeyReference> SessionKeyCache::generateKeyReference() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int draw = 0; draw < kMaxDraws; ++draw) {
        const std::optional<std::uint64_t> reference = CommonUtil::getRandomUInt64();
        const std::optional<ByteBuffer> data = reference ? CommonUtil::getRandomData(16) : std::nullopt;
        if (!data) break;
        if (!isUniquePairLocked(*reference, *data)) continue;
        auto key = std::make_shared<const SessionKeyReference>(*reference, *data, now());
        keyReferences_.push_back(key);
        return key;
    }
    platform::plainLog("Failed to generate a document key: random source failed");
    return nullptr;
}

bool SessionKeyCache::isUniquePair(std::uint64_t referenceNumber, const ByteBuffer& data) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return isUniquePairLocked(referenceNumber, data);
}

bool SessionKeyCache::isUniquePairLocked(std::uint64_t referenceNumber, const ByteBuffer& data) const {
    return std::none_of(keyReferences_.begin(), keyReferences_.end(), [&](const auto& key) {
        return key->referenceNumber() == referenceNumber || key->data() == data;
    });
}

std::optional<ByteBuffer> SessionKeyCache::getKey(std::uint64_t referenceNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    cleanupLocked();
    for (const auto& key : keyReferences_)
        if (key->referenceNumber() == referenceNumber) return key->data();
    return std::nullopt;
}

std::optional<ByteBuffer> SessionKeyCache::getKeyFromRefString(std::string_view referenceText) {
    return getKey(referenceFromString(referenceText));
}

std::optional<std::string> SessionKeyCache::getKeyInHexString(std::uint64_t referenceNumber) {
    return CommonUtil::hexStringFromData(getKey(referenceNumber));
}

void SessionKeyCache::cleanup() {
    std::lock_guard<std::mutex> lock(mutex_);
    cleanupLocked();
}

void SessionKeyCache::cleanupLocked() {
    const auto t = now();
    std::erase_if(keyReferences_, [&](const auto& key) { return key->expired(t); });
}

void SessionKeyCache::storeContentType(const std::string& contentType, std::uint64_t referenceNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    dictContentType_[referenceNumber] = contentType;
}

std::optional<std::string> SessionKeyCache::contentTypeForReference(std::uint64_t referenceNumber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = dictContentType_.find(referenceNumber);
    if (it == dictContentType_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> SessionKeyCache::contentTypeForReferenceString(std::string_view referenceText) const {
    return contentTypeForReference(referenceFromString(referenceText));
}

std::uint64_t SessionKeyCache::referenceFromString(std::string_view referenceText) {
    // strtoull needs a terminated text; like the C string it reads, it ends at a NUL.
    const std::string text(referenceText);
    return std::strtoull(text.c_str(), nullptr, 0);
}
