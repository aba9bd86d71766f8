// Stands in for the secure random source while it lives: hands out the queued bytes, then
// fails. Draws may come from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <span>

#include "Platform/Crypto/SecureRandom.h"
#include "Util/Bytes.h"

namespace testtools {

class ScriptedRandom {
public:
    explicit ScriptedRandom(const ByteBuffer& bytes) : bytes_(bytes.begin(), bytes.end()) {
        platform::setSecureRandomSourceForTesting([this](std::span<std::uint8_t> out) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (bytes_.size() < out.size()) return false;
            for (auto& b : out) {
                b = bytes_.front();
                bytes_.pop_front();
            }
            return true;
        });
    }
    ~ScriptedRandom() { platform::setSecureRandomSourceForTesting({}); }
    ScriptedRandom(const ScriptedRandom&) = delete;
    ScriptedRandom& operator=(const ScriptedRandom&) = delete;

private:
    std::mutex mutex_;
    std::deque<std::uint8_t> bytes_;
};

}  // namespace testtools
