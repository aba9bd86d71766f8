#include "Platform/OpenSslSetup.h"

#include <openssl/crypto.h>

namespace {

// Set only by the set-up, which runs before any thread exists; zero before any load-time
// code runs.
bool setUpRan = false;

}  // namespace

// Priority 101 is the earliest a program's own load-time code may take: ahead of every static
// object's constructor, any of which might use the library. Whether it is the first to set the
// library up decides the exit-time cleanup; the library keeps the first choice. The header's
// declaration carries the priority too; it is the one that counts.
extern "C" __attribute__((constructor(101))) void pellix_openssl_set_up() {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    setUpRan = true;
}

extern "C" bool pellix_openssl_was_set_up() { return setUpRan; }
