// Block ciphers in CBC mode with PKCS#7 padding and an all-zero initialisation vector: the
// one shape of cipher call the card layer makes (AES-256 for stored documents, Triple-DES
// for the dormant key helpers).
//
// Stateless and callable from any thread. Failures come back as a status, never as an
// exception; the status values are those the card layer reports in its log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace platform {

enum class CipherAlgorithm {
    AES256,     // 32-byte key, 16-byte blocks
    TripleDES,  // 24-byte key (three DES keys), 8-byte blocks
};

enum class CipherOperation { Encrypt, Decrypt };

enum class CipherStatus : int {
    Success = 0,
    ParamError = -4300,      // wrong key length, unknown algorithm
    BufferTooSmall = -4301,
    MemoryFailure = -4302,
    AlignmentError = -4303,  // ciphertext not a whole number of blocks
    DecodeError = -4304,     // bad padding after decryption
    Unimplemented = -4305,
};

struct CipherResult {
    CipherStatus status = CipherStatus::ParamError;
    std::vector<std::uint8_t> bytes;  // the output; empty unless status is Success

    bool ok() const { return status == CipherStatus::Success; }
};

// The key size and block size of an algorithm, in bytes.
std::size_t cipherKeySize(CipherAlgorithm algorithm);
std::size_t cipherBlockSize(CipherAlgorithm algorithm);

// Encrypts or decrypts `input` in CBC mode, zero IV, PKCS#7 padding. The key must be exactly
// cipherKeySize(algorithm) bytes long; any other length is a ParamError (the caller pads or
// refuses, the cipher never guesses).
CipherResult cipherCBC(CipherOperation operation, CipherAlgorithm algorithm,
                       std::span<const std::uint8_t> key, std::span<const std::uint8_t> input);

}  // namespace platform
