#include "Platform/Keychain/Trust.h"

namespace platform {

Trust::Trust(std::vector<std::shared_ptr<Certificate>> chain) : chain_(std::move(chain)) {}

}  // namespace platform
