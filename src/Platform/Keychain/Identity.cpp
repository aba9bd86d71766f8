#include "Platform/Keychain/Identity.h"

namespace platform {

Identity::Identity(std::shared_ptr<KeychainKey> key, std::shared_ptr<Certificate> certificate)
    : key_(std::move(key)), certificate_(std::move(certificate)) {}

}  // namespace platform
