// The server's TLS identity in the user's keychains: found by the print name (label) of its
// private key, which must begin with the given name ("Pellix"), and made on first use - a new
// key and self-signed certificate from OpenSSLProxy, imported from PKCS#12, stored in the
// default keychain and trusted as a root in the admin trust domain.
//
// Nothing is cached here: every call queries the keychain again (which reads again only the
// store files that changed, and so finds a changed or removed identity). All calls come from
// the one connection queue shared by every connection, so lookups and provisioning never
// overlap; the class has no lock of its own (the keychain stand-in serialises its files
// itself).
// Provisioning (RSA key generation) blocks the caller while it runs.
//
// Handing the identity to TLS: sslIdentityAndCertificates("Pellix") (or identityAndCertificates)
// returns an array whose first element is a platform::Identity. Its
//     identity->privateKey()->evpKey()   EVP_PKEY*, the server key
//     identity->certificate()->x509()    X509*, the server certificate
// are owned by the Identity and live as long as the caller keeps the shared_ptr; OpenSSL calls
// that keep them (SSL_CTX_use_PrivateKey, SSL_CTX_use_certificate) take references of their
// own, and so does the TLS engine's identity:
//     platform::TlsIdentity(identity->privateKey()->evpKey(), {identity->certificate()->x509()})
// The array holds only the identity (no further chain certificates in this system).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Keychain/Identity.h"
#include "Platform/Keychain/KeychainStatus.h"
#include "Platform/Keychain/Trust.h"

class OVKeychain {
public:
    using IdentityArray = std::vector<std::shared_ptr<platform::Identity>>;

    // The passphrase that protects the container on its way from the generator to the import.
    inline static const std::string kPassphrase = "MockWord5826";

    // The first-use rule of every accepted connection: look the identity up; when the result
    // has no element, make one and look it up once more, returning that result as it is.
    // With no element in the result the connection serves plain HTTP.
    // A keychain that cannot be read for now (too many open files, an I/O error, a lock) is not
    // an empty one: then nothing is made, the reason is logged, the result is std::nullopt,
    // status (when given) receives kKeychainUnreadableForNow, and the next connection looks
    // again. Likewise an identity that cannot be made or stored for now: the result is
    // std::nullopt, status receives the failure (platform::failsForNow), nothing of the new
    // identity is kept, and the next connection makes one. Otherwise status receives the last
    // lookup's status.
    static std::optional<IdentityArray> sslIdentityAndCertificates(const std::string& name,
                                                                   platform::OSStatus* status = nullptr);

    // std::nullopt when the keychain query fails or finds nothing; otherwise the first identity
    // (in keychain order) whose key label begins with name, or an empty array. status (when
    // given) receives the query's status, so that a caller can tell a failed query from an
    // empty keychain.
    static std::optional<IdentityArray> identityAndCertificates(const std::string& name,
                                                                platform::OSStatus* status = nullptr);

    // Whether the identity's private key has a print name that, read as ISO Latin 1, begins
    // with name (case-sensitive). An identity without a key or without a print name does not.
    static bool identity(const std::shared_ptr<platform::Identity>& identity, const std::string& matchesName);

    // Makes, imports, stores and trusts a new identity for name; logs "Adding new certificate
    // for <name>". Failures leave the keychain as it was (or with the untrusted identity when
    // only the trust setting failed, which is logged). A stored identity that the lookup does
    // not find afterwards is a failure too: it is logged, removed again and not trusted.
    // status (when given) receives kKeychainSuccess, or a failure for now (platform::failsForNow)
    // when the store could not be read or written for a passing reason - the store itself, the
    // lookup that follows or the trust setting; the identity is then removed again, so that the
    // next try makes a whole one - or another failure status when no identity was added.
    static void addIdentity(const std::string& name, platform::OSStatus* status = nullptr);

    // Stores the identity in the default keychain (accessible always) and returns the item's
    // persistent reference, or std::nullopt when the keychain did not take it; status (when
    // given) receives the store's status.
    static std::optional<std::vector<std::uint8_t>> persistentRefForIdentity(
        const std::shared_ptr<platform::Identity>& identity, platform::OSStatus* status = nullptr);

    // Never called by the system.
    static void addCertificate(const std::string& name);
    // The user's temporary directory plus "Pellix", made (mode 0700) when missing. What goes in
    // it is handed to tools as trusted input, so it is used only when it is a directory, not a
    // symbolic link, owned by the user and writable by nobody else; otherwise the reason is
    // logged and there is none. None too when the platform has no temporary directory.
    static std::optional<std::string> applicationTemporaryDirectory();
    // A container made with the openssl command-line tool (/usr/bin/openssl) in
    // applicationTemporaryDirectory(): a 1024-bit key, a 365-day certificate, exported with the
    // passphrase "lanterns" and friendly name name. The tool's exit statuses are not examined;
    // the work files are removed afterwards. None when no container was made. Blocks until the
    // tool runs have ended.
    static std::optional<std::vector<std::uint8_t>> dataFromIdentity(const std::string& name);
};

// Imports the PKCS#12 data with the passphrase (none: an import without one). On status 0 with
// at least one item, identity and trust receive the first item's; otherwise they are left as
// they were. Returns the import status.
platform::OSStatus extractIdentityAndTrust(const std::vector<std::uint8_t>& data,
                                           std::shared_ptr<platform::Identity>& identity,
                                           std::shared_ptr<platform::Trust>& trust,
                                           const std::optional<std::string>& passphrase);
