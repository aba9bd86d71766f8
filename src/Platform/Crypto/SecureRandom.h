// Cryptographically strong random bytes: the platform's secure generator.
//
// Callable from any thread. The generator can fail (the system's entropy source is not
// available); callers must then make no key at all rather than use the buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace platform {

// Fills `out` with random bytes. Returns false when the generator fails; the contents of
// `out` are then unspecified and must not be used.
bool secureRandomBytes(std::span<std::uint8_t> out);

// Test seam: while a source is installed, secureRandomBytes calls it instead of the real
// generator (to fail on purpose or to hand out chosen bytes). An empty function restores the
// real generator. The source is called without any lock held and may be called from any
// thread.
using RandomSource = std::function<bool(std::span<std::uint8_t>)>;
void setSecureRandomSourceForTesting(RandomSource source);

}  // namespace platform
