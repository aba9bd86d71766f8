// The process-wide cache of masking keys: hands out ApduKeyRef keys (getref) and finds their
// bytes again when a PIN-protected APDU names them. Keys are never removed: every key handed
// out stays valid, for any number of APDUs, until the process ends.
//
// When the secure random source fails no key can be made: generateApduKeyReference then
// returns nullptr (never a key of zeros) and logs "Failed to generate an apdu key: random
// source failed". The getref reply for that case is the error body
// {"errorcode": kNoKeyErrorCode, "errordetail": 0} in place of {"ref", "data"}: 201 is the
// card layer's code for "the platform service is not available", which pages already treat
// as a failure, and a body without "ref" and "data" cannot be mistaken for a key.
//
// It also carries, unused by the system, copies of the document-key operations
// (generateKeyReference, isUniquePair, getKey, cleanup) that behave exactly as those of
// SessionKeyCache on a key list of this cache's own.
//
// Thread safety: every operation may be called from any thread; the cache guards its state
// with a lock of its own (today all callers run on the one connection queue). The shared
// instance is made once, on first use, and lives until the process ends.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "Model/ApduKeyRef.h"
#include "Model/SessionKeyReference.h"
#include "Util/Bytes.h"
#include "Util/SessionKeyCache.h"

class KeyReferenceCache {
public:
    // The getref reply's "errorcode" when no key could be made ("errordetail" 0).
    static constexpr std::int64_t kNoKeyErrorCode = 201;

    static std::shared_ptr<KeyReferenceCache> sharedCache();

    // A cache of its own (tests). The clock only matters to the dormant document-key copies.
    explicit KeyReferenceCache(KeyClock clock = {});

    KeyReferenceCache(const KeyReferenceCache&) = delete;
    KeyReferenceCache& operator=(const KeyReferenceCache&) = delete;

    // A new masking key, stored before it is returned; its reference is one this cache has
    // not handed out before. nullptr when the random source fails.
    std::shared_ptr<const ApduKeyRef> generateApduKeyReference();

    // The 16 key bytes of the key with this reference, or nil.
    std::optional<ByteBuffer> getApduKey(std::uint32_t referenceNumber) const;

    // The dormant document-key copies (see SessionKeyCache).
    std::shared_ptr<const SessionKeyReference> generateKeyReference() { return keyReferences_.generateKeyReference(); }
    bool isUniquePair(std::uint64_t referenceNumber, const ByteBuffer& data) const {
        return keyReferences_.isUniquePair(referenceNumber, data);
    }
    std::optional<ByteBuffer> getKey(std::uint64_t referenceNumber) { return keyReferences_.getKey(referenceNumber); }
    void cleanup() { keyReferences_.cleanup(); }

private:
    SessionKeyCache keyReferences_;  // has its own lock
    mutable std::mutex mutex_;
    std::map<std::uint32_t, ByteBuffer> apduKeyDict_;  // guarded by mutex_
};
