#include "Platform/Keychain/KeychainKey.h"

namespace platform {

KeychainKey::KeychainKey(EvpPkeyPtr key, std::optional<std::string> printName)
    : key_(std::move(key)), printName_(std::move(printName)) {}

}  // namespace platform
