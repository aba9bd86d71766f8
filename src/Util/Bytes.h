// Byte buffers and what the card layer computes on them: AES-256-CBC and Triple-DES-CBC
// (PKCS#7 padding, all-zero IV) and the MD5, SHA-1 and SHA-2 digests.
//
// A byte buffer is a ByteBuffer; where a caller must tell "no bytes at all" (nil) from
// "zero bytes", it is a std::optional<ByteBuffer>. Every function here is stateless, may be
// called from any thread and never throws: a failure is std::nullopt.
//
// Keys: the key bytes are placed in a zeroed buffer of the cipher's key size (32 bytes for
// AES-256, 24 for Triple-DES), so a shorter key is padded with zero bytes (a 16-byte document
// key is a 256-bit key whose last 16 bytes are zero). A key longer than that buffer is
// refused (std::nullopt): pages send key texts, and cutting one short would quietly encrypt
// under a key nobody asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using ByteBuffer = std::vector<std::uint8_t>;

namespace Bytes {

// AES-256-CBC. A nil or empty key is the all-zero key. Any cipher failure (a wrong key's bad
// padding on decryption, a ciphertext that is not whole blocks) is nil, silently.
std::optional<ByteBuffer> AES256EncryptWithKeyData(std::span<const std::uint8_t> data,
                                                   const std::optional<ByteBuffer>& key);
std::optional<ByteBuffer> AES256DecryptWithKeyData(std::span<const std::uint8_t> data,
                                                   const std::optional<ByteBuffer>& key);
// The same with the key given as the UTF-8 bytes of a text (at most 32 bytes).
std::optional<ByteBuffer> AES256EncryptWithKey(std::span<const std::uint8_t> data,
                                               const std::optional<std::string>& key);
std::optional<ByteBuffer> AES256DecryptWithKey(std::span<const std::uint8_t> data,
                                               const std::optional<std::string>& key);

// Triple-DES-CBC. A nil key gives nil. A failure logs "Errorcode %i: 3DES decryption failed."
// (or "... encryption failed.") with the cipher status and gives nil.
std::optional<ByteBuffer> tripleDesDecryptWithKeyData(std::span<const std::uint8_t> data,
                                                      const std::optional<ByteBuffer>& key);
std::optional<ByteBuffer> tripleDesEncryptWithKeyData(std::span<const std::uint8_t> data,
                                                      const std::optional<ByteBuffer>& key);
// The same with the key given as the UTF-8 bytes of a text (at most 24 bytes); a nil text is
// the all-zero key.
std::optional<ByteBuffer> tripleDesEncryptWithKey(std::span<const std::uint8_t> data,
                                                  const std::optional<std::string>& key);
std::optional<ByteBuffer> tripleDesDecryptWithKey(std::span<const std::uint8_t> data,
                                                  const std::optional<std::string>& key);

// The digest named, ignoring letter case: "SHA1"; "SHA2" or "SHA256"; "SHA384"; "SHA512".
// Any other name (MD5 included) gives nil.
std::optional<ByteBuffer> computeDigest(std::span<const std::uint8_t> data, std::string_view algorithm);

ByteBuffer sha1(std::span<const std::uint8_t> data);    // 20 bytes
ByteBuffer sha256(std::span<const std::uint8_t> data);  // 32 bytes
ByteBuffer sha384(std::span<const std::uint8_t> data);  // 48 bytes
ByteBuffer sha512(std::span<const std::uint8_t> data);  // 64 bytes
ByteBuffer md5(std::span<const std::uint8_t> data);     // 16 bytes, the MD5 digest
// The MD5 digest as 32 lower-case hexadecimal digits.
std::string md5String(std::span<const std::uint8_t> data);

// The bytes as UTF-8 text; nil when they are not valid UTF-8.
std::optional<std::string> UTF8String(std::span<const std::uint8_t> data);

// The text a "%@" of a byte buffer shows: "<" lower-case hex in groups of 4 bytes ">", e.g.
// "<00a40400 07>"; "(null)" for nil.
std::string description(const std::optional<ByteBuffer>& data);
std::string description(const ByteBuffer& data);

}  // namespace Bytes
