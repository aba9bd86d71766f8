#include "Platform/Tls/TlsIdentity.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace platform {
namespace {

std::shared_ptr<EVP_PKEY> shareKey(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free); }
std::shared_ptr<X509> shareCertificate(X509* cert) { return std::shared_ptr<X509>(cert, X509_free); }

// An encrypted key or certificate is refused: without a callback OpenSSL asks for its pass
// phrase on the terminal and waits for good.
int refusePassphrase(char*, int, int, void*) { return -1; }

}  // namespace

TlsIdentity::TlsIdentity(EVP_PKEY* privateKey, const std::vector<X509*>& certificates) {
    if (privateKey && EVP_PKEY_up_ref(privateKey) == 1) key_ = shareKey(privateKey);
    for (X509* cert : certificates) {
        if (cert && X509_up_ref(cert) == 1) certificates_.push_back(shareCertificate(cert));
    }
}

std::optional<TlsIdentity> TlsIdentity::fromPem(std::string_view keyPem, std::string_view certificatesPem) {
    TlsIdentity identity;
    {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())), BIO_free);
        if (!bio) return std::nullopt;
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, nullptr);
        if (!key) {
            ERR_clear_error();
            return std::nullopt;
        }
        identity.key_ = shareKey(key);
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(certificatesPem.data(), static_cast<int>(certificatesPem.size())), BIO_free);
    if (!bio) return std::nullopt;
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, refusePassphrase, nullptr)) {
        identity.certificates_.push_back(shareCertificate(cert));
    }
    ERR_clear_error();  // the end of the text reads as an error
    if (identity.certificates_.empty()) return std::nullopt;
    if (X509_check_private_key(identity.certificates_.front().get(), identity.key_.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return identity;
}

std::optional<TlsIdentity> TlsIdentity::fromDer(const std::vector<uint8_t>& keyDer,
                                                const std::vector<std::vector<uint8_t>>& certificatesDer) {
    TlsIdentity identity;
    const unsigned char* p = keyDer.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(keyDer.size()));
    if (!key) {
        ERR_clear_error();
        return std::nullopt;
    }
    identity.key_ = shareKey(key);
    for (const auto& der : certificatesDer) {
        const unsigned char* q = der.data();
        X509* cert = d2i_X509(nullptr, &q, static_cast<long>(der.size()));
        if (!cert) {
            ERR_clear_error();
            return std::nullopt;
        }
        identity.certificates_.push_back(shareCertificate(cert));
    }
    if (identity.certificates_.empty()) return std::nullopt;
    if (X509_check_private_key(identity.certificates_.front().get(), identity.key_.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return identity;
}

}  // namespace platform
