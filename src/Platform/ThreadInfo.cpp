#include "Platform/ThreadInfo.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace platform {

uint64_t currentThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

unsigned processorCount() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

const std::string& processName() {
    // Never destroyed, for the same reason as the plain log's state: threads may log at exit.
    static const std::string* name = [] {
        const char* n = program_invocation_short_name;
        return new std::string(n && *n ? n : "pellix");
    }();
    return *name;
}

std::string currentThreadName() {
    char name[64] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
    return name;
}

}  // namespace platform
