// Owning handles for the OpenSSL objects the keychain stand-in passes around: each frees its
// object with the library's own release call when it goes out of scope. And the pass-phrase
// callback of every PEM read of the store.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>

namespace platform {

struct OpenSslFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(PKCS12* p) const { PKCS12_free(p); }
    void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpenSslFree>;
using Pkcs8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OpenSslFree>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslFree>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree>;

// Stored keys and certificates are never encrypted. A PEM read given no callback asks for the
// pass phrase of one that is on the terminal and waits for good (OpenSSL's default); with this
// one the file reads as unreadable instead.
inline int refusePassphrase(char*, int, int, void*) { return -1; }

}  // namespace platform
