// A certificate of the keychain stand-in: an immutable X.509 certificate shared by the
// identities, trust objects and trust settings that refer to it.
//
// Immutable after construction; may be shared between threads.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Keychain/OpenSslHandles.h"

namespace platform {

class Certificate {
public:
    // Takes ownership of the certificate.
    explicit Certificate(X509Ptr certificate);

    // Reads one PEM certificate block; nullptr when the text holds none. An encrypted block
    // counts as none: no pass phrase is asked for.
    static std::shared_ptr<Certificate> fromPem(const std::string& pem);

    // The library object, owned by this certificate: valid as long as the Certificate lives.
    // Calls that keep it longer (SSL_CTX_use_certificate) take their own reference.
    X509* x509() const { return x509_.get(); }

    std::vector<std::uint8_t> der() const;
    std::string pem() const;
    // Lower-case hexadecimal SHA-256 of the DER: the key under which trust settings are kept.
    std::string sha256Hex() const;
    // The subject's common name (UTF-8), or empty when it has none.
    std::string commonName() const;

private:
    X509Ptr x509_;
};

}  // namespace platform
