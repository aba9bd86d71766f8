// The marker of a TLS upgrade: one object placed in both the read queue and the write queue
// of a socket. It holds its own copy of the settings given to `startTLS`.
#pragma once

#include "AsyncSocket/TlsSettings.h"

class AsyncSpecialPacket {
public:
    explicit AsyncSpecialPacket(TlsSettings settings) : tlsSettings(std::move(settings)) {}

    TlsSettings tlsSettings;
};
