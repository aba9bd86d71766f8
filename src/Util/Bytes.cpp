#include "Util/Bytes.h"

#include <algorithm>
#include <cctype>

#include "Platform/Crypto/Cipher.h"
#include "Platform/Crypto/Digest.h"
#include "Platform/PlainLog.h"
#include "Platform/Text/StringEncoding.h"

namespace Bytes {

namespace {

using platform::CipherAlgorithm;
using platform::CipherOperation;
using platform::CipherStatus;

std::span<const std::uint8_t> textBytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The key placed in a zeroed buffer of the cipher's key size; nullopt when it does not fit.
std::optional<ByteBuffer> keyBuffer(CipherAlgorithm algorithm, std::span<const std::uint8_t> key) {
    ByteBuffer buffer(platform::cipherKeySize(algorithm), 0);
    if (key.size() > buffer.size()) return std::nullopt;
    std::copy(key.begin(), key.end(), buffer.begin());
    return buffer;
}

std::optional<ByteBuffer> aes(CipherOperation operation, std::span<const std::uint8_t> data,
                              std::span<const std::uint8_t> key) {
    std::optional<ByteBuffer> keyBytes = keyBuffer(CipherAlgorithm::AES256, key);
    if (!keyBytes) return std::nullopt;
    platform::CipherResult result = platform::cipherCBC(operation, CipherAlgorithm::AES256, *keyBytes, data);
    if (!result.ok()) return std::nullopt;
    return std::move(result.bytes);
}

std::optional<ByteBuffer> tripleDes(CipherOperation operation, std::span<const std::uint8_t> data,
                                    std::span<const std::uint8_t> key) {
    std::optional<ByteBuffer> keyBytes = keyBuffer(CipherAlgorithm::TripleDES, key);
    platform::CipherResult result;
    if (keyBytes) {
        result = platform::cipherCBC(operation, CipherAlgorithm::TripleDES, *keyBytes, data);
    } else {
        result.status = CipherStatus::ParamError;  // a key longer than 24 bytes
    }
    if (!result.ok()) {
        platform::plainLog(operation == CipherOperation::Encrypt ? "Errorcode %i: 3DES encryption failed."
                                                                 : "Errorcode %i: 3DES decryption failed.",
                           static_cast<int>(result.status));
        return std::nullopt;
    }
    return std::move(result.bytes);
}

std::span<const std::uint8_t> orEmpty(const std::optional<ByteBuffer>& key) {
    if (!key) return {};
    return *key;
}

std::span<const std::uint8_t> orEmpty(const std::optional<std::string>& key) {
    if (!key) return {};
    return textBytes(*key);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::optional<ByteBuffer> AES256EncryptWithKeyData(std::span<const std::uint8_t> data,
                                                   const std::optional<ByteBuffer>& key) {
    return aes(CipherOperation::Encrypt, data, orEmpty(key));
}

std::optional<ByteBuffer> AES256DecryptWithKeyData(std::span<const std::uint8_t> data,
                                                   const std::optional<ByteBuffer>& key) {
    return aes(CipherOperation::Decrypt, data, orEmpty(key));
}

std::optional<ByteBuffer> AES256EncryptWithKey(std::span<const std::uint8_t> data,
                                               const std::optional<std::string>& key) {
    return aes(CipherOperation::Encrypt, data, orEmpty(key));
}

std::optional<ByteBuffer> AES256DecryptWithKey(std::span<const std::uint8_t> data,
                                               const std::optional<std::string>& key) {
    return aes(CipherOperation::Decrypt, data, orEmpty(key));
}

std::optional<ByteBuffer> tripleDesDecryptWithKeyData(std::span<const std::uint8_t> data,
                                                      const std::optional<ByteBuffer>& key) {
    if (!key) return std::nullopt;
    return tripleDes(CipherOperation::Decrypt, data, *key);
}

std::optional<ByteBuffer> tripleDesEncryptWithKeyData(std::span<const std::uint8_t> data,
                                                      const std::optional<ByteBuffer>& key) {
    if (!key) return std::nullopt;
    return tripleDes(CipherOperation::Encrypt, data, *key);
}

std::optional<ByteBuffer> tripleDesEncryptWithKey(std::span<const std::uint8_t> data,
                                                  const std::optional<std::string>& key) {
    return tripleDes(CipherOperation::Encrypt, data, orEmpty(key));
}

std::optional<ByteBuffer> tripleDesDecryptWithKey(std::span<const std::uint8_t> data,
                                                  const std::optional<std::string>& key) {
    return tripleDes(CipherOperation::Decrypt, data, orEmpty(key));
}

std::optional<ByteBuffer> computeDigest(std::span<const std::uint8_t> data, std::string_view algorithm) {
    if (equalsIgnoringCase(algorithm, "SHA1")) return sha1(data);
    if (equalsIgnoringCase(algorithm, "SHA2") || equalsIgnoringCase(algorithm, "SHA256")) return sha256(data);
    if (equalsIgnoringCase(algorithm, "SHA384")) return sha384(data);
    if (equalsIgnoringCase(algorithm, "SHA512")) return sha512(data);
    return std::nullopt;
}

ByteBuffer sha1(std::span<const std::uint8_t> data) { return platform::digest(platform::DigestAlgorithm::SHA1, data); }
ByteBuffer sha256(std::span<const std::uint8_t> data) { return platform::digest(platform::DigestAlgorithm::SHA256, data); }
ByteBuffer sha384(std::span<const std::uint8_t> data) { return platform::digest(platform::DigestAlgorithm::SHA384, data); }
ByteBuffer sha512(std::span<const std::uint8_t> data) { return platform::digest(platform::DigestAlgorithm::SHA512, data); }
ByteBuffer md5(std::span<const std::uint8_t> data) { return platform::digest(platform::DigestAlgorithm::MD5, data); }

std::string md5String(std::span<const std::uint8_t> data) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : md5(data)) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

std::optional<std::string> UTF8String(std::span<const std::uint8_t> data) {
    return platform::stringFromBytes(data, platform::StringEncoding::UTF8);
}

std::string description(const ByteBuffer& data) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text = "<";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0 && i % 4 == 0) text.push_back(' ');
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    text.push_back('>');
    return text;
}

std::string description(const std::optional<ByteBuffer>& data) {
    if (!data) return "(null)";
    return description(*data);
}

}  // namespace Bytes
