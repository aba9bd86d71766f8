#include "Platform/Crypto/Cipher.h"

#include <openssl/evp.h>

#include <limits>
#include <memory>

namespace platform {

namespace {

const EVP_CIPHER* evpCipher(CipherAlgorithm algorithm) {
    switch (algorithm) {
    case CipherAlgorithm::AES256: return EVP_aes_256_cbc();
    case CipherAlgorithm::TripleDES: return EVP_des_ede3_cbc();
    }
    return nullptr;
}

struct ContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

CipherResult failure(CipherStatus status) { return CipherResult{status, {}}; }

}  // namespace

std::size_t cipherKeySize(CipherAlgorithm algorithm) {
    return algorithm == CipherAlgorithm::AES256 ? 32 : 24;
}

std::size_t cipherBlockSize(CipherAlgorithm algorithm) {
    return algorithm == CipherAlgorithm::AES256 ? 16 : 8;
}

CipherResult cipherCBC(CipherOperation operation, CipherAlgorithm algorithm,
                       std::span<const std::uint8_t> key, std::span<const std::uint8_t> input) {
    const EVP_CIPHER* cipher = evpCipher(algorithm);
    if (cipher == nullptr || key.size() != cipherKeySize(algorithm)) return failure(CipherStatus::ParamError);
    const std::size_t block = cipherBlockSize(algorithm);
    // EVP counts in int; anything that large is not ours to cipher in one call.
    if (input.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) - 2 * block)
        return failure(CipherStatus::ParamError);
    const bool encrypt = operation == CipherOperation::Encrypt;
    if (!encrypt && input.size() % block != 0) return failure(CipherStatus::AlignmentError);

    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return failure(CipherStatus::MemoryFailure);
    const unsigned char zeroIv[16] = {};
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), zeroIv, encrypt ? 1 : 0) != 1)
        return failure(CipherStatus::ParamError);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 1);

    // Room for the input plus one block of padding, as the cipher may write that much.
    std::vector<std::uint8_t> out(input.size() + block);
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &written, input.data(), static_cast<int>(input.size())) != 1)
        return failure(CipherStatus::ParamError);
    int finalWritten = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + written, &finalWritten) != 1)
        return failure(encrypt ? CipherStatus::ParamError : CipherStatus::DecodeError);
    out.resize(static_cast<std::size_t>(written) + static_cast<std::size_t>(finalWritten));
    return CipherResult{CipherStatus::Success, std::move(out)};
}

}  // namespace platform
