// A test double of the system's send(), linked into a test program in place of the C
// library's: told to, it fails the sends on one descriptor once a given number of bytes has
// gone out on it, as a connection reset in the middle of a transfer does. Every other send
// goes to the C library unchanged.
#pragma once

#include <cstddef>

namespace socket_test {

// From now on, sends on fd succeed until `bytes` bytes have gone out; a send that would go
// beyond fails whole with `error` (errno), and so does every later one.
void failSendsAfter(int fd, size_t bytes, int error);
// Sends on every descriptor go through unchanged again.
void clearSendFault();

}  // namespace socket_test
