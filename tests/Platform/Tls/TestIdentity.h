// A key and self-signed certificate for "localhost", made with OpenSSL for the TLS tests
// (the running system takes its identity from the keychain store instead).
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <string>

#include "Platform/Tls/TlsIdentity.h"

namespace testing_tls {

struct PemPair {
    std::string keyPem;
    std::string certificatePem;
};

// kind "ec" (fast, for tests) or "rsa" (2048 bits, as the system's own identity). An authority
// certificate (CA:TRUE) can stand as the trust anchor of a client that verifies the peer.
inline PemPair makeSelfSigned(const std::string& kind = "ec", long validSeconds = 3600, bool authority = false) {
    EVP_PKEY* key = kind == "rsa" ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
    if (!key) throw std::runtime_error("key generation failed");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), validSeconds < 0 ? 2 * validSeconds : 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), validSeconds);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1")) {
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (authority) {
        if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE")) {
            X509_add_ext(cert, ext, -1);
            X509_EXTENSION_free(ext);
        }
    }
    X509_sign(cert, key, EVP_sha256());

    PemPair pems;
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    pems.keyPem.assign(data, static_cast<size_t>(length));
    BIO_free(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    length = BIO_get_mem_data(bio, &data);
    pems.certificatePem.assign(data, static_cast<size_t>(length));
    BIO_free(bio);
    X509_free(cert);
    EVP_PKEY_free(key);
    return pems;
}

inline const PemPair& sharedPems() {
    static const PemPair pems = makeSelfSigned();
    return pems;
}

inline platform::TlsIdentity sharedIdentity() {
    auto identity = platform::TlsIdentity::fromPem(sharedPems().keyPem, sharedPems().certificatePem);
    if (!identity) throw std::runtime_error("identity from PEM failed");
    return *identity;
}

}  // namespace testing_tls
