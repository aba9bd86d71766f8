// The OpenSSL library context of the certificate code: the default provider plus the legacy
// provider, whose RC2 cipher the PKCS#12 certificate bag needs. It is a context of our own so
// that the process's default context keeps the library's defaults for everyone else (TLS).
//
// Made on first use (thread-safe) and kept for the life of the process. Callable from any
// thread.
#pragma once

#include <openssl/types.h>

namespace platform {

class CryptoContext {
public:
    // The context, or nullptr when a provider could not be loaded; every call that is given
    // nullptr then fails in the library, which the callers report as their own failure.
    static OSSL_LIB_CTX* legacy();
};

}  // namespace platform
