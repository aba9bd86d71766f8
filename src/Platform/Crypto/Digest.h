// Message digests of byte buffers: MD5 and the SHA-1 and SHA-2 families.
//
// Stateless and callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace platform {

enum class DigestAlgorithm { MD5, SHA1, SHA256, SHA384, SHA512 };

// The digest length in bytes: 16, 20, 32, 48, 64.
std::size_t digestLength(DigestAlgorithm algorithm);

// The digest of `input`: digestLength(algorithm) bytes, or an empty vector when the crypto
// library cannot make it - out of memory, or a library configuration that lacks the
// algorithm (one that loads only the "base" provider has no digest at all, as on systems
// restricted to FIPS, where MD5 is missing). A caller that checks a secret with a digest
// must refuse on an empty one, never compare it.
std::vector<std::uint8_t> digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> input);

// The HMAC (RFC 2104) of `input` under `key` with the digest: digestLength(algorithm) bytes,
// or an empty vector when the crypto library cannot make it (the same cases as digest).
std::vector<std::uint8_t> hmac(DigestAlgorithm algorithm, std::span<const std::uint8_t> key,
                               std::span<const std::uint8_t> input);

// Whether the two byte strings are equal, in a time that does not depend on where they
// differ: for secrets and the digests made from them (a password, a digest response), so
// that the time of a refusal does not tell an attacker how much of a guess was right. Only
// the lengths are compared in the ordinary way.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace platform
