#include "Platform/OpenSslSetup.h"

#include <gtest/gtest.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>

#include "Platform/OpenSslSetupEarlyUser.h"
#include "Platform/Tls/TlsContext.h"

namespace {

constexpr int kCleanupRan = 3;

void reportCleanup() { ::_exit(kCleanupRan); }

// The set-up comes before every static object of the program: one in another file that makes
// a TLS context and a digest while the program is loaded finds it done. Were it to come later,
// that object's use would set the library up with its exit-time cleanup, and the set-up could
// no longer take it back.
TEST(OpenSslSetup, RegressionRunsBeforeTheStaticObjectsOfOtherFiles) {
    EXPECT_TRUE(openssl_setup_test::earlyUse().usedLibrary);
    EXPECT_TRUE(openssl_setup_test::earlyUse().setUpHadRun);
    EXPECT_TRUE(pellix_openssl_was_set_up());
}

// OpenSSL's exit-time cleanup frees the library's locks on the thread that leaves main, while
// pool workers may still be closing TLS sockets and freeing their contexts through those
// locks. A program that has used the library (a TLS context, a digest) and then ends must not
// run it: a handler of the cleanup's own list ends the child with its own code if it runs.
// The program never calls the set-up; linking the platform layer is enough, and the static
// object above has used the library before main.
TEST(OpenSslSetup, RegressionAProgramThatEndsRunsNoExitCleanup) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto context = platform::TlsContext::create(platform::TlsContext::Side::Server);
            if (!context) std::_Exit(1);
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (EVP_Digest("abc", 3, digest, &length, EVP_sha256(), nullptr) != 1) std::_Exit(1);
            OPENSSL_atexit(reportCleanup);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
