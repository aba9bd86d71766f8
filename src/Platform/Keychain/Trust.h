// The trust object a PKCS#12 import hands out beside each identity: the certificates it was
// imported with, leaf first. Nothing is evaluated; it only carries the chain.
//
// Immutable after construction; may be shared between threads.
#pragma once

#include <memory>
#include <vector>

#include "Platform/Keychain/Certificate.h"

namespace platform {

class Trust {
public:
    explicit Trust(std::vector<std::shared_ptr<Certificate>> chain);

    const std::vector<std::shared_ptr<Certificate>>& certificates() const { return chain_; }

private:
    std::vector<std::shared_ptr<Certificate>> chain_;
};

}  // namespace platform
