// What the process knows about its threads and host.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The kernel thread id of the calling thread (gettid).
uint64_t currentThreadId();
// The number of processors of the host; 1 when it cannot be told.
unsigned processorCount();
// The name of the running program (the base name of the executable), e.g. "pellix".
const std::string& processName();
// The name given to the calling thread, "" when it was given none. Linux hands every new
// thread its creator's name and starts the main thread with the program's; that inherited
// program name is no name of the thread's own and reads as "".
std::string currentThreadName();
// Whether the caller is the process's main thread.
bool isMainThread();

}  // namespace platform
