// The main thread's run loop: start-up hands the main thread to it once everything runs on
// queues, and it never returns.
#pragma once

namespace platform {

[[noreturn]] void runMainLoopForever();

}  // namespace platform
