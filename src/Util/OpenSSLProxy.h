// The certificate generator: makes the server's TLS identity, a fresh RSA-2048 key and a
// self-signed X.509 v3 certificate for 127.0.0.1 and "localhost", packed as a passphrase-
// protected PKCS#12 container in DER form, which the keychain store imports.
//
// The container is written with the algorithms browsers and keychains have always read
// (certificate bag pbeWithSHA1And40BitRC2-CBC, key bag pbeWithSHA1And3-KeyTripleDES-CBC, 2048
// iterations, 8-byte salts, HMAC-SHA-1 MAC with one iteration), spelled out because the
// library's own defaults have moved on. RC2 comes from the legacy provider in a library context
// of our own (platform::CryptoContext); the process's default context is left alone.
//
// Each successful call also writes the certificate (never the key) as one PEM block to
// standard output. Failures are plain log lines. Called on the connection queue, one call at a
// time; it holds no state of its own between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Keychain/OpenSslHandles.h"

class OpenSSLProxy {
public:
    static constexpr int kKeyBits = 2048;
    static constexpr long kValiditySeconds = 315360000;  // 3650 days

    // The DER of the PKCS#12 container whose friendly name is name, or std::nullopt. name and
    // password must be representable in ISO Latin 1 (they are given as UTF-8).
    static std::optional<std::vector<std::uint8_t>> makeCertificate(const std::string& name,
                                                                    const std::string& password);

    // A new RSA-2048 key with public exponent 65537, or nullptr (after a log line).
    static platform::EvpPkeyPtr generate_key();

    // The self-signed certificate of key, subject C=NO, O=organisation, OU=CN=commonName (both
    // Latin-1 byte strings), or nullptr (after a log line).
    static platform::X509Ptr generate_x509(EVP_PKEY* key, const std::string& organisation,
                                           const std::string& commonName);

    // Appends the extension nid built from its configuration text; 1 when added, 0 when the
    // library cannot build it from the text.
    static int add_ext(X509* certificate, int nid, const char* value);
};
