// Start-up: wires the subsystems together and idles for ever.
#include "Platform/BundleInfo.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/PlainLog.h"

int main() {
    platform::plainLog("Running pellix version: %@", platform::BundleInfo::version());
    platform::runMainLoopForever();
}
