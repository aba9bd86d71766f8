#include "Platform/Crypto/SecureRandom.h"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

namespace platform {

namespace {

std::mutex sourceMutex;
std::shared_ptr<const RandomSource> testSource;  // guarded by sourceMutex

}  // namespace

bool secureRandomBytes(std::span<std::uint8_t> out) {
    std::shared_ptr<const RandomSource> source;
    {
        std::lock_guard<std::mutex> lock(sourceMutex);
        source = testSource;
    }
    if (source) return (*source)(out);

    // RAND_bytes takes an int count; draw large requests in pieces.
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t piece = std::min<std::size_t>(out.size() - done, INT_MAX);
        if (RAND_bytes(out.data() + done, static_cast<int>(piece)) != 1) return false;
        done += piece;
    }
    return true;
}

void setSecureRandomSourceForTesting(RandomSource source) {
    std::shared_ptr<const RandomSource> next;
    if (source) next = std::make_shared<const RandomSource>(std::move(source));
    std::lock_guard<std::mutex> lock(sourceMutex);
    testSource = std::move(next);
}

}  // namespace platform
