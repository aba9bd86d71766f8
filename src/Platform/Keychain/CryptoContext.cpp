#include "Platform/Keychain/CryptoContext.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

namespace platform {

namespace {

struct LegacyContext {
    OSSL_LIB_CTX* context = nullptr;

    LegacyContext() {
        OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
        if (!ctx) return;
        // Loading any provider explicitly turns off the implicit default one, so both are named.
        OSSL_PROVIDER* base = OSSL_PROVIDER_load(ctx, "default");
        OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(ctx, "legacy");
        if (!base || !legacy) {
            if (legacy) OSSL_PROVIDER_unload(legacy);
            if (base) OSSL_PROVIDER_unload(base);
            OSSL_LIB_CTX_free(ctx);
            return;
        }
        context = ctx;  // providers and context live until the process ends
    }
};

}  // namespace

OSSL_LIB_CTX* CryptoContext::legacy() {
    static const LegacyContext instance;
    return instance.context;
}

}  // namespace platform
