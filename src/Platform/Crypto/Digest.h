// Message digests of byte buffers: MD5 and the SHA-1 and SHA-2 families.
//
// Stateless and callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace platform {

enum class DigestAlgorithm { MD5, SHA1, SHA256, SHA384, SHA512 };

// The digest length in bytes: 16, 20, 32, 48, 64.
std::size_t digestLength(DigestAlgorithm algorithm);

// The digest of `input`. Always digestLength(algorithm) bytes; an empty vector only if the
// crypto library itself fails (out of memory).
std::vector<std::uint8_t> digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> input);

}  // namespace platform
