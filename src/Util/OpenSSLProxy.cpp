#include "Util/OpenSSLProxy.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "Platform/Keychain/CryptoContext.h"
#include "Platform/PlainLog.h"

using platform::BioPtr;
using platform::EvpPkeyCtxPtr;
using platform::EvpPkeyPtr;
using platform::Pkcs12Ptr;
using platform::X509ExtensionPtr;
using platform::X509Ptr;

namespace {

// The container's parameters, fixed so that every reader of the older format can open it.
constexpr int kIterations = 2048;
constexpr int kMacIterations = 1;
constexpr int kSaltLength = 8;

// UTF-8 to ISO Latin 1 bytes; std::nullopt when a character lies outside Latin 1 or the text is
// not UTF-8. A zero byte would cut the text short in the library, so it is refused as well.
std::optional<std::string> latin1(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c == 0) return std::nullopt;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size() &&
                   (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
            out.push_back(static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F)));
            ++i;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

void initialiseLibrary() {
    // All ciphers and all digests, no configuration file.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
}

void addNameEntry(X509_NAME* name, const char* field, const std::string& value) {
    // Each entry its own RDN, appended; an entry the library refuses (empty, over 64 characters)
    // is simply missing.
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
}

}  // namespace

EvpPkeyPtr OpenSSLProxy::generate_key() {
    OSSL_LIB_CTX* context = platform::CryptoContext::legacy();
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(context, "RSA", nullptr));
    if (!ctx) {
        platform::plainLog("Unable to create EVP_PKEY structure.");
        ERR_clear_error();
        return nullptr;
    }
    EVP_PKEY* raw = nullptr;
    platform::BignumPtr exponent(BN_new());
    bool ok = exponent && BN_set_word(exponent.get(), RSA_F4) == 1 && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kKeyBits) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) == 1 &&
              EVP_PKEY_keygen(ctx.get(), &raw) == 1;
    EvpPkeyPtr key(raw);
    if (!ok || !key) {
        platform::plainLog("Unable to generate 2048-bit RSA key.");
        ERR_clear_error();
        return nullptr;
    }
    return key;
}

int OpenSSLProxy::add_ext(X509* certificate, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, certificate, certificate, nullptr, nullptr, 0);
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!extension) {
        ERR_clear_error();
        return 0;
    }
    X509_add_ext(certificate, extension.get(), -1);
    return 1;
}

X509Ptr OpenSSLProxy::generate_x509(EVP_PKEY* key, const std::string& organisation, const std::string& commonName) {
    X509Ptr x509(X509_new_ex(platform::CryptoContext::legacy(), nullptr));
    if (!x509) {
        platform::plainLog("Unable to create X509 structure.");
        ERR_clear_error();
        return nullptr;
    }
    ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 1);
    X509_set_version(x509.get(), 2);
    // UTCTime while the year is before 2050, GeneralizedTime from then on: the library's choice.
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), kValiditySeconds);
    X509_set_pubkey(x509.get(), key);

    X509_NAME* name = X509_get_subject_name(x509.get());
    addNameEntry(name, "C", "NO");
    addNameEntry(name, "O", organisation);
    addNameEntry(name, "OU", commonName);
    addNameEntry(name, "CN", commonName);
    X509_set_issuer_name(x509.get(), name);

    add_ext(x509.get(), NID_ext_key_usage, "clientAuth, serverAuth");
    add_ext(x509.get(), NID_key_usage, "critical, digitalSignature, keyEncipherment");
    add_ext(x509.get(), NID_basic_constraints, "critical,CA:FALSE");
    add_ext(x509.get(), NID_subject_alt_name, "IP:127.0.0.1, DNS:localhost");

    if (X509_sign(x509.get(), key, EVP_sha256()) == 0) {
        platform::plainLog("Error signing certificate.");
        ERR_clear_error();
        return nullptr;
    }
    return x509;
}

std::optional<std::vector<std::uint8_t>> OpenSSLProxy::makeCertificate(const std::string& name,
                                                                      const std::string& password) {
    auto name1 = latin1(name);
    auto password1 = latin1(password);
    if (!name1 || !password1) return std::nullopt;
    initialiseLibrary();

    EvpPkeyPtr key = generate_key();
    if (!key) return std::nullopt;
    X509Ptr x509 = generate_x509(key.get(), *name1, *name1);
    if (!x509) return std::nullopt;

    OSSL_LIB_CTX* context = platform::CryptoContext::legacy();
    Pkcs12Ptr p12(PKCS12_create_ex(password1->c_str(), name1->c_str(), key.get(), x509.get(), nullptr,
                                   NID_pbe_WithSHA1And3_Key_TripleDES_CBC, NID_pbe_WithSHA1And40BitRC2_CBC, kIterations,
                                   -1 /* the MAC is set below, with its digest named */, 0, context, nullptr));
    if (!p12 || PKCS12_set_mac(p12.get(), password1->c_str(), -1, nullptr, kSaltLength, kMacIterations, EVP_sha1()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }

    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || i2d_PKCS12_bio(bio.get(), p12.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    (void)BIO_flush(bio.get());
    char* bytes = nullptr;
    long length = BIO_get_mem_data(bio.get(), &bytes);
    if (length <= 0) return std::nullopt;
    std::vector<std::uint8_t> der(bytes, bytes + length);

    // Only the certificate goes to standard output: the private key of a locally trusted
    // certificate must not end up in whatever collects the program's output.
    PEM_write_X509(stdout, x509.get());
    std::fflush(stdout);
    return der;
}
