// The TLS engine of the socket layer: one TLS connection (server or client side) that moves
// its encrypted bytes through two I/O callbacks of its owner, on OpenSSL libssl.
//
// Shape and status values are those the socket layer relies on:
// - The owner registers a read and a write callback and a connection reference that both
//   get back. A callback takes a byte pointer and a length (in: wanted, out: done) and
//   returns kNoErr when all was done, kWouldBlock when less was done for now, or
//   kClosedAbort when the transport failed or reached its end.
// - handshake(), read() and write() return kNoErr, kWouldBlock (call again once the
//   transport is readable or writable), kClosedGraceful (the peer closed the TLS stream
//   properly), kClosedAbort (the transport closed under it) or another negative status.
// - write() of n > 0 bytes either returns kNoErr (all taken and sent), kWouldBlock (all n
//   bytes taken, but not yet all sent: they go out with later calls, including write() of
//   0 bytes, which only pushes out what was taken), or an error (nothing taken). It never
//   takes part of the bytes.
// - read() returns kNoErr with at least one byte, or a status with none.
//
// Protocol levels: only TLS 1.2 and TLS 1.3 can be enabled. Enabling SSL 2, SSL 3, TLS 1.0
// or TLS 1.1 fails with kBadParam: those protocols are broken and are never offered.
// Cipher suites: on TLS 1.2 only ECDHE key exchange with AES-GCM or ChaCha20-Poly1305 (forward
// secrecy, no CBC), and TLS 1.3's suites; a server picks by its own order.
//
// A context is not thread-safe: its owner calls it on one serial queue, and the callbacks
// run inside those calls. The context copies nothing of the identity but shares it; server
// contexts of the same identity also share the library's set-up of it (key and certificates
// set and checked once), whichever threads they run on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Platform/Tls/TlsIdentity.h"

namespace platform {

using TlsStatus = int32_t;

namespace tls {
inline constexpr TlsStatus kNoErr = 0;
inline constexpr TlsStatus kBadParam = -50;            // a setting the engine cannot take
inline constexpr TlsStatus kProtocol = -9800;          // the peer broke the protocol
inline constexpr TlsStatus kNegotiation = -9801;       // no common protocol or cipher
inline constexpr TlsStatus kFatalAlert = -9802;        // the peer sent a fatal alert
inline constexpr TlsStatus kWouldBlock = -9803;
inline constexpr TlsStatus kClosedGraceful = -9805;
inline constexpr TlsStatus kClosedAbort = -9806;
inline constexpr TlsStatus kCertificateChainInvalid = -9807;
inline constexpr TlsStatus kBadCertificate = -9808;
inline constexpr TlsStatus kInternal = -9810;
inline constexpr TlsStatus kBadState = -9811;          // a setting after the handshake began
}  // namespace tls

// Protocol numbers as the socket layer's settings name them.
enum class TlsProtocol : int { SSL2 = 1, SSL3 = 2, TLS1 = 4, All = 6, TLS11 = 7, TLS12 = 8, TLS13 = 10 };

using TlsReadFunc = TlsStatus (*)(void* connection, void* data, size_t* length);
using TlsWriteFunc = TlsStatus (*)(void* connection, const void* data, size_t* length);

class TlsContext {
public:
    enum class Side { Server, Client };

    // A new context; nullptr when the library cannot make one.
    static std::unique_ptr<TlsContext> create(Side side);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    Side side() const;

    // Settings; all before the first handshake() call (later: kBadState).
    TlsStatus setIOFuncs(TlsReadFunc read, TlsWriteFunc write);
    TlsStatus setConnection(void* connection);
    TlsStatus setPeerDomainName(const char* name, size_t length);
    TlsStatus setAllowsAnyRoot(bool allows);
    TlsStatus setAllowsExpiredRoots(bool allows);
    TlsStatus setEnableCertVerify(bool enable);
    TlsStatus setAllowsExpiredCerts(bool allows);
    TlsStatus setCertificate(const TlsIdentity& identity);
    TlsStatus setProtocolVersionEnabled(TlsProtocol protocol, bool enable);
    // Cipher-suite numbers as on the wire; unknown ones and those outside the suites above are
    // passed over, none left fails.
    TlsStatus setEnabledCiphers(const uint16_t* ciphers, size_t count);
    // DER-encoded Diffie-Hellman parameters.
    TlsStatus setDiffieHellmanParams(const void* der, size_t length);

    // One handshake step.
    TlsStatus handshake();
    TlsStatus read(void* data, size_t length, size_t* processed);
    TlsStatus write(const void* data, size_t length, size_t* processed);
    // Plaintext already decrypted and waiting to be read.
    TlsStatus getBufferedReadSize(size_t* size) const;
    // Sends the closing alert when the handshake had completed (best effort); the context is
    // unusable afterwards.
    TlsStatus close();

    // The negotiated protocol version ("TLSv1.3"), empty before the handshake completed.
    const char* protocolVersion() const;

    // How many server identity contexts this process has built: server connections of one
    // identity (the same key and certificates) share one, built by the first of them; the two
    // identities used last are kept. For tests.
    static size_t identityContextsBuilt();

    struct Impl;

private:
    explicit TlsContext(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
