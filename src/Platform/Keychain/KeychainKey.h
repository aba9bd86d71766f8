// A private-key item of the keychain stand-in: the key and its print name (the label by which
// the server identity is found).
//
// Immutable after construction; may be shared between threads.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>

#include "Platform/Keychain/OpenSslHandles.h"

namespace platform {

class KeychainKey {
public:
    // Takes ownership of the key. A key without a print name has std::nullopt.
    KeychainKey(EvpPkeyPtr key, std::optional<std::string> printName);

    // The key's print-name attribute as stored (its bytes, UTF-8 as the import wrote them), or
    // std::nullopt when the item has no such attribute.
    const std::optional<std::string>& printName() const { return printName_; }

    // The library object, owned by this key: valid as long as the KeychainKey lives. Calls that
    // keep it longer (SSL_CTX_use_PrivateKey) take their own reference.
    EVP_PKEY* evpKey() const { return key_.get(); }

private:
    EvpPkeyPtr key_;
    std::optional<std::string> printName_;
};

}  // namespace platform
