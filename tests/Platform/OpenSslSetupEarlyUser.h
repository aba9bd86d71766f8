// A static object, in a file of its own, that uses OpenSSL while the program is being loaded,
// before main: what any static object of a program may do.
#pragma once

namespace openssl_setup_test {

struct EarlyUse {
    bool setUpHadRun = false;  // OpenSSL's set-up had run when the object was made
    bool usedLibrary = false;  // its TLS context and digest were made
};

// What the object saw when it was made.
const EarlyUse& earlyUse();

}  // namespace openssl_setup_test
