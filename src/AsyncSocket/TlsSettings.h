// The settings of a TLS upgrade (`AsyncSocket::startTLS`). Every field is optional; a field
// left empty is not applied and the engine keeps its default. They are applied in the order
// of the fields.
//
// | field                       | meaning                                                      |
// |-----------------------------|--------------------------------------------------------------|
// | isServer                    | server side of the handshake; empty = client                 |
// | peerName                    | the host name the peer's certificate must carry (client)     |
// | allowsAnyRoot               | accept a chain ending in an unknown or self-signed root      |
// | allowsExpiredRoots          | accept an expired root                                       |
// | validatesCertificateChain   | verify the peer's chain at all (client)                      |
// | allowsExpiredCertificates   | accept an expired leaf certificate                           |
// | certificates                | our identity: private key and certificate chain, leaf first |
// | level                       | one of the level texts below; any other text does nothing    |
// | cipherSuites                | cipher-suite numbers, each taken by its low 16 bits          |
// | diffieHellmanParameters     | DER-encoded DH parameters                                    |
// | handshakeTimeout            | seconds a handshake may take (negative: none)                |
//
// The HTTP connection passes isServer = true, its identity and level = kLevelNegotiatedSSL.
// Only TLS 1.2 and 1.3 are ever offered: the SSLv2, SSLv3 and TLSv1 levels name broken
// protocols and make the upgrade fail ("Error in SSLSetProtocolVersionEnabled").
// The handshake has a time-out of its own (30 seconds, like a header line): a peer that
// connects and never completes the handshake closes the socket with the read time-out error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Tls/TlsIdentity.h"

struct TlsSettings {
    static constexpr const char* kLevelSSLv2 = "kCFStreamSocketSecurityLevelSSLv2";
    static constexpr const char* kLevelSSLv3 = "kCFStreamSocketSecurityLevelSSLv3";
    static constexpr const char* kLevelTLSv1 = "kCFStreamSocketSecurityLevelTLSv1";
    static constexpr const char* kLevelNegotiatedSSL = "kCFStreamSocketSecurityLevelNegotiatedSSL";
    static constexpr double kDefaultHandshakeTimeout = 30.0;

    std::optional<bool> isServer;
    std::optional<std::string> peerName;
    std::optional<bool> allowsAnyRoot;
    std::optional<bool> allowsExpiredRoots;
    std::optional<bool> validatesCertificateChain;
    std::optional<bool> allowsExpiredCertificates;
    std::optional<platform::TlsIdentity> certificates;
    std::optional<std::string> level;
    std::optional<std::vector<long>> cipherSuites;
    std::optional<std::vector<uint8_t>> diffieHellmanParameters;
    double handshakeTimeout = kDefaultHandshakeTimeout;
};
