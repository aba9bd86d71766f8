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
// The name of the calling thread ("" when it has none).
std::string currentThreadName();

}  // namespace platform
