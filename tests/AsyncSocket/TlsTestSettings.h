// TLS settings of the socket tests: a server with the shared test identity, and a client that
// checks the server's certificate against a host name.
#pragma once

#include <string>

#include "AsyncSocket/TlsSettings.h"
#include "Platform/Tls/TestIdentity.h"

namespace socket_test {

inline TlsSettings serverSettings() {
    TlsSettings settings;
    settings.isServer = true;
    settings.certificates = testing_tls::sharedIdentity();
    settings.level = TlsSettings::kLevelNegotiatedSSL;
    return settings;
}

// The test identity is self-signed, so its root is allowed; the name and the rest of the
// chain are still checked.
inline TlsSettings clientSettings(const std::string& peerName) {
    TlsSettings settings;
    settings.isServer = false;
    settings.peerName = peerName;
    settings.allowsAnyRoot = true;
    settings.level = TlsSettings::kLevelNegotiatedSSL;
    return settings;
}

}  // namespace socket_test
