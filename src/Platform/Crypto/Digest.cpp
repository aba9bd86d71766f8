#include "Platform/Crypto/Digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace platform {

namespace {

const EVP_MD* evpDigest(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::MD5: return EVP_md5();
    case DigestAlgorithm::SHA1: return EVP_sha1();
    case DigestAlgorithm::SHA256: return EVP_sha256();
    case DigestAlgorithm::SHA384: return EVP_sha384();
    case DigestAlgorithm::SHA512: return EVP_sha512();
    }
    return nullptr;
}

}  // namespace

std::size_t digestLength(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::MD5: return 16;
    case DigestAlgorithm::SHA1: return 20;
    case DigestAlgorithm::SHA256: return 32;
    case DigestAlgorithm::SHA384: return 48;
    case DigestAlgorithm::SHA512: return 64;
    }
    return 0;
}

std::vector<std::uint8_t> digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> input) {
    const EVP_MD* md = evpDigest(algorithm);
    if (md == nullptr) return {};
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), out.data(), &length, md, nullptr) != 1) return {};
    out.resize(length);
    return out;
}

std::vector<std::uint8_t> hmac(DigestAlgorithm algorithm, std::span<const std::uint8_t> key,
                               std::span<const std::uint8_t> input) {
    const EVP_MD* md = evpDigest(algorithm);
    if (md == nullptr) return {};
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    // The library takes no null key pointer, even for an empty key.
    static const unsigned char kNoKey = 0;
    if (HMAC(md, key.empty() ? &kNoKey : key.data(), static_cast<int>(key.size()), input.data(), input.size(),
             out.data(), &length) == nullptr)
        return {};
    out.resize(length);
    return out;
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace platform
