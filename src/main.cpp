// Start-up: the loggers, then the HTTPS server of the web API on the loopback interface, then
// the main thread idles for the life of the process. Nothing else happens here: no card,
// certificate or TLS work until the first connection arrives.
#include <signal.h>
#include <sys/resource.h>

#include "Core/HTTPServer.h"
#include "Logging/LxASLLogger.h"
#include "Logging/LxLog.h"
#include "Logging/LxLogMacros.h"
#include "Logging/LxTTYLogger.h"
#include "Platform/BundleInfo.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/PlainLog.h"
#include "PlxHttp/PlxHTTPConnection.h"

namespace {

constexpr uint16_t kPort = 31505;
constexpr const char* kInterface = "localhost";

// Every connection holds a descriptor, and the bound on connections is derived from this
// limit. The program waits with epoll, never with select, so a low soft limit (a user service
// manager gives 1024 while allowing far more) serves it nothing: it goes up to the hard one.
void raiseDescriptorLimit() {
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur >= descriptors.rlim_max) return;
    descriptors.rlim_cur = descriptors.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &descriptors);
}

}  // namespace

int main() {
    // A peer that goes away while we write must never end the process.
    ::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();

    LxLog::addLogger(LxTTYLogger::sharedInstance());
    LxLog::addLogger(LxASLLogger::sharedInstance());

    auto server = HTTPServer::create();
    server->setPort(kPort);
    server->setConnectionClass<PlxHTTPConnection>();
    server->setInterface(std::string(kInterface));

    platform::plainLog("Running pellix version: %@", platform::BundleInfo::version());

    platform::Error error;
    if (!server->start(&error)) {
        LX_LOG_ERROR(LogContextDefault, "Error starting HTTP Server: %@", error.describe());
    }

    platform::runMainLoopForever();
}
