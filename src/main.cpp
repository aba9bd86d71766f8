// Start-up: the loggers, then the HTTPS server of the web API on the loopback interface, then
// the main thread idles for the life of the process. Nothing else happens here: no card,
// certificate or TLS work until the first connection arrives.
#include <signal.h>

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

}  // namespace

int main() {
    // A peer that goes away while we write must never end the process.
    ::signal(SIGPIPE, SIG_IGN);

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
