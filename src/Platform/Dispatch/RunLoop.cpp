#include "Platform/Dispatch/RunLoop.h"

#include <unistd.h>

namespace platform {

void runMainLoopForever() {
    // Everything runs on queues; the main thread only waits. pause() returns after a handled
    // signal, so wait again.
    for (;;) ::pause();
}

}  // namespace platform
