// An identity of the keychain stand-in: a private key with its certificate. Identities come
// from a PKCS#12 import (in memory only) or from a keychain query (stored items).
//
// For the TLS engine: privateKey()->evpKey() and certificate()->x509() are the EVP_PKEY and
// X509 to give to SSL_CTX_use_PrivateKey / SSL_CTX_use_certificate (those take references of
// their own). Immutable after construction; may be shared between threads.
#pragma once

#include <memory>

#include "Platform/Keychain/Certificate.h"
#include "Platform/Keychain/KeychainKey.h"

namespace platform {

class Identity {
public:
    Identity(std::shared_ptr<KeychainKey> key, std::shared_ptr<Certificate> certificate);

    // The private key item; never nullptr for an identity made by the stand-in.
    std::shared_ptr<KeychainKey> copyPrivateKey() const { return key_; }
    // The certificate; never nullptr for an identity made by the stand-in.
    std::shared_ptr<Certificate> copyCertificate() const { return certificate_; }

    const std::shared_ptr<KeychainKey>& privateKey() const { return key_; }
    const std::shared_ptr<Certificate>& certificate() const { return certificate_; }

private:
    std::shared_ptr<KeychainKey> key_;
    std::shared_ptr<Certificate> certificate_;
};

}  // namespace platform
