#include "Platform/ThreadInfo.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

namespace {

// The main thread's name as /proc/self/comm had it when first asked: the program's name,
// which the kernel gave the process at exec and which every thread inherits unless it is
// named. Never destroyed: threads may log at exit.
const std::string& programThreadName() {
    static const std::string* name = [] {
        auto* text = new std::string;
        if (std::FILE* comm = std::fopen("/proc/self/comm", "r")) {
            char line[64] = {0};
            if (std::fgets(line, sizeof line, comm)) {
                text->assign(line);
                if (!text->empty() && text->back() == '\n') text->pop_back();
            }
            std::fclose(comm);
        }
        return text;
    }();
    return *name;
}

}  // namespace

std::string currentThreadName() {
    char name[64] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
    if (name == programThreadName()) return {};
    return name;
}

bool isMainThread() { return ::syscall(SYS_gettid) == ::getpid(); }

}  // namespace platform
