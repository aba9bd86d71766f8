#include "Platform/OpenSslSetupEarlyUser.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "Platform/OpenSslSetup.h"

namespace openssl_setup_test {
namespace {

// Raw library calls only: the platform layer's own static objects may not be made yet.
EarlyUse useTheLibrary() {
    EarlyUse use;
    use.setUpHadRun = pellix_openssl_was_set_up();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    use.usedLibrary = context != nullptr && EVP_Digest("abc", 3, digest, &length, EVP_sha256(), nullptr) == 1;
    SSL_CTX_free(context);
    return use;
}

const EarlyUse early = useTheLibrary();

}  // namespace

const EarlyUse& earlyUse() { return early; }

}  // namespace openssl_setup_test
