// The process-wide cache of document keys: makes keys, finds them by reference, forgets
// expired ones and remembers each document's content type.
//
// Rules the document operations rely on:
//   - a key is valid until 300 seconds after it was made (at exactly 300 s it still is);
//   - expired keys are purged only at the start of getKey (and by cleanup); making a key
//     does not purge, and its uniqueness test also counts expired keys not yet purged;
//   - content types are kept for the life of the process, whatever happens to the key;
//   - reference texts are read like strtoull with base 0 (white space, a sign, 0x for hex,
//     a leading 0 for octal; no digits give 0; out of range gives 18446744073709551615).
//
// When the secure random source fails no key can be made: generateKeyReference then returns
// nullptr (never a key of zeros) and logs "Failed to generate a document key: random source
// failed". The document operations answer that case with kNoKeyErrorCode and
// kNoKeyErrorMessage, "sessionref" "0", and store nothing - the reply a page already knows
// as "nothing was stored".
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
#include <string>
#include <string_view>
#include <vector>

#include "Model/SessionKeyReference.h"
#include "Util/Bytes.h"

class SessionKeyCache {
public:
    // The document operations' "errorcode" and "errormessage" when no key could be made.
    static constexpr std::int64_t kNoKeyErrorCode = 501;
    static constexpr const char* kNoKeyErrorMessage = "File creation failed.";

    // The one cache of the process, on the real clock.
    static std::shared_ptr<SessionKeyCache> sharedCache();

    // A cache of its own (tests; the masking-key cache's dormant copy). An empty clock is
    // the real clock.
    explicit SessionKeyCache(KeyClock clock = {});

    SessionKeyCache(const SessionKeyCache&) = delete;
    SessionKeyCache& operator=(const SessionKeyCache&) = delete;

    // A new key with a fresh reference and fresh bytes, stored before it is returned; nullptr
    // when the random source fails.
    std::shared_ptr<const SessionKeyReference> generateKeyReference();

    // True when no stored key (expired ones included) has this reference and none has these
    // key bytes.
    bool isUniquePair(std::uint64_t referenceNumber, const ByteBuffer& data) const;

    // Purges expired keys, then the key bytes of the key with this reference, or nil.
    std::optional<ByteBuffer> getKey(std::uint64_t referenceNumber);
    // getKey of the reference text's number.
    std::optional<ByteBuffer> getKeyFromRefString(std::string_view referenceText);
    // getKey in upper-case hexadecimal.
    std::optional<std::string> getKeyInHexString(std::uint64_t referenceNumber);

    // Removes every expired key; the others keep their order.
    void cleanup();

    // Stores or replaces the content type of a reference.
    void storeContentType(const std::string& contentType, std::uint64_t referenceNumber);
    std::optional<std::string> contentTypeForReference(std::uint64_t referenceNumber) const;
    std::optional<std::string> contentTypeForReferenceString(std::string_view referenceText) const;

    // A reference text's number, as strtoull with base 0 reads it.
    static std::uint64_t referenceFromString(std::string_view referenceText);

private:
    platform::BootClock::time_point now() const;
    void cleanupLocked();
    bool isUniquePairLocked(std::uint64_t referenceNumber, const ByteBuffer& data) const;

    const KeyClock clock_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const SessionKeyReference>> keyReferences_;  // guarded by mutex_; oldest first
    std::map<std::uint64_t, std::string> dictContentType_;                   // guarded by mutex_
};
