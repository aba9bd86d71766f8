#include "Platform/OpenSslSetup.h"

#include <openssl/crypto.h>

// Priority 101 is the earliest a program's own load-time code may take: ahead of every static
// object's constructor, any of which might use the library. Whether it is the first to set the
// library up decides the exit-time cleanup; the library keeps the first choice.
extern "C" __attribute__((constructor(101))) void pellix_openssl_set_up() {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}
