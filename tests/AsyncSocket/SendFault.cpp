#include "AsyncSocket/SendFault.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <mutex>

namespace socket_test {
namespace {

std::mutex faultMutex;
int faultFD = -1;          // guarded by faultMutex
size_t bytesAllowed = 0;   // guarded by faultMutex
int faultErrno = 0;        // guarded by faultMutex

using SendFunction = ssize_t (*)(int, const void*, size_t, int);

SendFunction librarySend() {
    static const SendFunction next = reinterpret_cast<SendFunction>(::dlsym(RTLD_NEXT, "send"));
    return next;
}

}  // namespace

void failSendsAfter(int fd, size_t bytes, int error) {
    std::lock_guard<std::mutex> lock(faultMutex);
    faultFD = fd;
    bytesAllowed = bytes;
    faultErrno = error;
}

void clearSendFault() {
    std::lock_guard<std::mutex> lock(faultMutex);
    faultFD = -1;
}

}  // namespace socket_test

extern "C" ssize_t send(int fd, const void* buffer, size_t length, int flags) {
    using namespace socket_test;
    {
        std::lock_guard<std::mutex> lock(faultMutex);
        if (fd == faultFD) {
            if (length > bytesAllowed) {
                bytesAllowed = 0;
                errno = faultErrno;
                return -1;
            }
            bytesAllowed -= length;
        }
    }
    return librarySend()(fd, buffer, length, flags);
}
