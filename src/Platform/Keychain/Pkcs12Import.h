// PKCS#12 import of the keychain stand-in: decodes a passphrase-protected container in memory
// into identities. Nothing is stored; Keychain::addIdentity stores an imported identity.
//
// Reads the containers the certificate generator makes (certificate bag under RC2-40, key bag
// under triple DES, HMAC-SHA-1 MAC) through CryptoContext::legacy(). Callable from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Keychain/Identity.h"
#include "Platform/Keychain/KeychainStatus.h"
#include "Platform/Keychain/Trust.h"

namespace platform {

struct Pkcs12ImportOptions {
    std::optional<std::string> passphrase;  // none: the container must open without one
};

// One identity of the container: its key (print name = the key bag's friendly name, else the
// certificate bag's) with the certificate whose local key id matches (else whose public key
// matches), and a trust object holding that certificate and the container's other ones.
struct Pkcs12ImportItem {
    std::shared_ptr<Identity> identity;
    std::shared_ptr<Trust> trust;
};

// kKeychainDecode for data that is not a container, kKeychainAuthFailed when the passphrase
// does not open it. On success items holds one entry per key that has a certificate, in the
// container's order (possibly none).
OSStatus pkcs12Import(const std::vector<std::uint8_t>& data, const Pkcs12ImportOptions& options,
                      std::vector<Pkcs12ImportItem>& items);

}  // namespace platform
