// A TLS server (or client) identity: a private key and its certificate chain, leaf first.
//
// In the running system the identity comes from the keychain store (the key and the
// self-signed certificate made on first use); tests make their own with OpenSSL. The object
// shares the OpenSSL objects (reference-counted), so copies are cheap and may cross threads;
// the key and certificates are never changed after construction.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {

class TlsIdentity {
public:
    TlsIdentity() = default;
    // Takes a reference of its own to the key and to every certificate (the caller keeps its
    // own). Leaf certificate first.
    TlsIdentity(EVP_PKEY* privateKey, const std::vector<X509*>& certificates);

    // The key and the certificates in PEM form (the certificate text may hold a chain, leaf
    // first). nullopt when either cannot be read or the key does not match the leaf.
    static std::optional<TlsIdentity> fromPem(std::string_view keyPem, std::string_view certificatesPem);
    // The key (PKCS#8 or traditional DER) and DER certificates, leaf first.
    static std::optional<TlsIdentity> fromDer(const std::vector<uint8_t>& keyDer,
                                              const std::vector<std::vector<uint8_t>>& certificatesDer);

    bool isValid() const { return key_ != nullptr && !certificates_.empty(); }
    EVP_PKEY* privateKey() const { return key_.get(); }
    const std::vector<std::shared_ptr<X509>>& certificates() const { return certificates_; }

    friend bool operator==(const TlsIdentity& a, const TlsIdentity& b) {
        return a.key_ == b.key_ && a.certificates_ == b.certificates_;
    }

private:
    std::shared_ptr<EVP_PKEY> key_;
    std::vector<std::shared_ptr<X509>> certificates_;
};

}  // namespace platform
