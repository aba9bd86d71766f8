#include "AsyncSocket/AsyncSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "AsyncSocket/detail/AsyncSocketInternal.h"

using platform::TlsContext;
using platform::TlsStatus;
namespace tls = platform::tls;
using Call = AsyncSocketDelegate::Call;

namespace {

TlsStatus SSLReadFunction(void* connection, void* data, size_t* length) {
    return static_cast<AsyncSocket*>(connection)->sslReadWithBuffer(data, length);
}

TlsStatus SSLWriteFunction(void* connection, const void* data, size_t* length) {
    return static_cast<AsyncSocket*>(connection)->sslWriteWithBuffer(data, length);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TLS

void AsyncSocket::startTLS(TlsSettings settings) {
    auto packet = std::make_shared<AsyncSpecialPacket>(std::move(settings));
    postAsync([this, packet = std::move(packet)] {
        if ((flags_ & FlagStarted) && !(flags_ & FlagNoNewRequests) && !(flags_ & FlagTLSQueued)) {
            readQueue_.push_back(QueuedRead{nullptr, packet});
            writeQueue_.push_back(QueuedWrite{nullptr, packet});
            flags_ |= FlagTLSQueued;
            maybeDequeueRead();
            maybeDequeueWrite();
        }
    });
}

void AsyncSocket::maybeStartTLS() {
    if ((flags_ & FlagTLSReadReady) && (flags_ & FlagTLSWriteReady)) ssl_startTLS();
}

void AsyncSocket::ssl_startTLS() {
    const TlsSettings settings = currentRead_.tls ? currentRead_.tls->tlsSettings : currentWrite_.tls->tlsSettings;

    const bool isServer = settings.isServer.value_or(false);
    sslContext_ = TlsContext::create(isServer ? TlsContext::Side::Server : TlsContext::Side::Client);
    if (!sslContext_) {
        closeWithError(otherError("Error in SSLNewContext"));
        return;
    }
    if (sslContext_->setIOFuncs(&SSLReadFunction, &SSLWriteFunction) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetIOFuncs"));
        return;
    }
    if (sslContext_->setConnection(this) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetConnection"));
        return;
    }
    if (settings.peerName) {
        const std::string& name = *settings.peerName;
        if (sslContext_->setPeerDomainName(name.data(), name.size()) != tls::kNoErr) {
            closeWithError(otherError("Error in SSLSetPeerDomainName"));
            return;
        }
    }
    if (settings.allowsAnyRoot && sslContext_->setAllowsAnyRoot(*settings.allowsAnyRoot) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetAllowsAnyRoot"));
        return;
    }
    if (settings.allowsExpiredRoots && sslContext_->setAllowsExpiredRoots(*settings.allowsExpiredRoots) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetAllowsExpiredRoots"));
        return;
    }
    if (settings.validatesCertificateChain &&
        sslContext_->setEnableCertVerify(*settings.validatesCertificateChain) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetEnableCertVerify"));
        return;
    }
    if (settings.allowsExpiredCertificates &&
        sslContext_->setAllowsExpiredCerts(*settings.allowsExpiredCertificates) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetAllowsExpiredCerts"));
        return;
    }
    if (settings.certificates && sslContext_->setCertificate(*settings.certificates) != tls::kNoErr) {
        closeWithError(otherError("Error in SSLSetCertificate"));
        return;
    }
    if (settings.level) {
        using platform::TlsProtocol;
        const std::string& level = *settings.level;
        std::vector<std::pair<TlsProtocol, bool>> calls;
        // The SSLv2, SSLv3 and TLSv1 levels ask for broken protocols; the engine refuses to
        // enable them, so those levels fail here instead of weakening the connection.
        if (level == TlsSettings::kLevelSSLv2) {
            calls = {{TlsProtocol::All, false}, {TlsProtocol::SSL2, true}};
        } else if (level == TlsSettings::kLevelSSLv3) {
            calls = {{TlsProtocol::All, false}, {TlsProtocol::SSL2, true}, {TlsProtocol::SSL3, true}};
        } else if (level == TlsSettings::kLevelTLSv1) {
            calls = {{TlsProtocol::All, false}, {TlsProtocol::TLS1, true}};
        } else if (level == TlsSettings::kLevelNegotiatedSSL) {
            calls = {{TlsProtocol::All, true}};
        }
        for (const auto& [protocol, enable] : calls) {
            if (sslContext_->setProtocolVersionEnabled(protocol, enable) != tls::kNoErr) {
                closeWithError(otherError("Error in SSLSetProtocolVersionEnabled"));
                return;
            }
        }
    }
    if (settings.cipherSuites) {
        std::vector<uint16_t> ciphers;
        ciphers.reserve(settings.cipherSuites->size());
        for (long value : *settings.cipherSuites) ciphers.push_back(static_cast<uint16_t>(value & 0xFFFF));
        if (sslContext_->setEnabledCiphers(ciphers.data(), ciphers.size()) != tls::kNoErr) {
            closeWithError(otherError("Error in SSLSetEnabledCiphers"));
            return;
        }
    }
    if (settings.diffieHellmanParameters) {
        const auto& dh = *settings.diffieHellmanParameters;
        if (sslContext_->setDiffieHellmanParams(dh.data(), dh.size()) != tls::kNoErr) {
            closeWithError(otherError("Error in SSLSetDiffieHellmanParams"));
            return;
        }
    }

    sslPreBuffer_ = std::make_unique<AsyncSocketPreBuffer>(4096);
    // Bytes read ahead before the upgrade are the start of the handshake.
    const size_t preBufferLength = preBuffer_.availableBytes();
    if (preBufferLength > 0) {
        sslPreBuffer_->ensureCapacityForWrite(preBufferLength);
        std::memcpy(sslPreBuffer_->writeBuffer(), preBuffer_.readBuffer(), preBufferLength);
        preBuffer_.didRead(preBufferLength);
        sslPreBuffer_->didWrite(preBufferLength);
    }
    sslErrCode_ = tls::kNoErr;

    // A peer that connects and never finishes the handshake must not hold the socket for
    // ever: the handshake gets a time-out of its own, on the read timer (the marker has none).
    if (settings.handshakeTimeout >= 0.0) {
        startTimer(&AsyncSocket::readTimer_, settings.handshakeTimeout, &AsyncSocket::doHandshakeTimeout);
    }

    ssl_continueSSLHandshake();
}

void AsyncSocket::doHandshakeTimeout() {
    if ((flags_ & FlagTLSReadReady) && (flags_ & FlagTLSWriteReady)) closeWithError(readTimeoutError());
}

void AsyncSocket::ssl_continueSSLHandshake() {
    if (!sslContext_) return;
    const TlsStatus status = sslContext_->handshake();
    if (status == tls::kWouldBlock) return;
    if (status != tls::kNoErr) {
        closeWithError(sslError(status));
        return;
    }
    flags_ &= ~(FlagTLSReadReady | FlagTLSWriteReady);
    flags_ |= FlagSecure;
    postDelegate(Call::DidSecure, [](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) { d.socketDidSecure(s); });
    endCurrentRead();
    endCurrentWrite();
    maybeDequeueRead();
    maybeDequeueWrite();
}

void AsyncSocket::flushSSLBuffers() {
    if (!(flags_ & FlagSecure) || !sslContext_) return;
    if (preBuffer_.availableBytes() > 0) return;

    auto estimate = [this] {
        size_t buffered = 0;
        sslContext_->getBufferedReadSize(&buffered);
        return socketFDBytesAvailable_ + (sslPreBuffer_ ? sslPreBuffer_->availableBytes() : 0) + buffered;
    };
    uint64_t estimatedBytesAvailable = estimate();
    while (estimatedBytesAvailable > 0 && sslContext_) {
        preBuffer_.ensureCapacityForWrite(static_cast<size_t>(estimatedBytesAvailable));
        size_t bytesRead = 0;
        const TlsStatus result = sslContext_->read(preBuffer_.writeBuffer(), static_cast<size_t>(estimatedBytesAvailable), &bytesRead);
        if (bytesRead > 0) preBuffer_.didWrite(bytesRead);
        if (result != tls::kNoErr) break;
        estimatedBytesAvailable = estimate();
    }
}

TlsStatus AsyncSocket::sslReadWithBuffer(void* buffer, size_t* bufferLength) {
    const size_t wanted = *bufferLength;
    if (socketFDBytesAvailable_ == 0 && (!sslPreBuffer_ || sslPreBuffer_->availableBytes() == 0)) {
        resumeReadSource();
        *bufferLength = 0;
        return tls::kWouldBlock;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    size_t totalBytesRead = 0;

    if (sslPreBuffer_) {
        const size_t fromPreBuffer = std::min(sslPreBuffer_->availableBytes(), wanted);
        if (fromPreBuffer > 0) {
            std::memcpy(out, sslPreBuffer_->readBuffer(), fromPreBuffer);
            sslPreBuffer_->didRead(fromPreBuffer);
            totalBytesRead = fromPreBuffer;
        }
        if (totalBytesRead == wanted) {
            *bufferLength = wanted;
            return tls::kNoErr;
        }
    }
    if (socketFDBytesAvailable_ == 0) {
        *bufferLength = totalBytesRead;
        return tls::kWouldBlock;
    }

    const size_t stillWanted = wanted - totalBytesRead;
    const bool readIntoPreBuffer = socketFDBytesAvailable_ > stillWanted && sslPreBuffer_;
    uint8_t* target;
    size_t bytesToRead;
    if (readIntoPreBuffer) {
        bytesToRead = static_cast<size_t>(socketFDBytesAvailable_);
        sslPreBuffer_->ensureCapacityForWrite(bytesToRead);
        target = sslPreBuffer_->writeBuffer();
    } else {
        bytesToRead = stillWanted;
        target = out + totalBytesRead;
    }
    const ssize_t result = ::read(currentFD(), target, bytesToRead);
    if (result <= 0) {
        const int readErrno = errno;
        socketFDBytesAvailable_ = 0;
        *bufferLength = totalBytesRead;
        if (result < 0 && (readErrno == EAGAIN || readErrno == EWOULDBLOCK)) return tls::kWouldBlock;
        return tls::kClosedAbort;
    }
    const size_t bytesRead = static_cast<size_t>(result);
    socketFDBytesAvailable_ -= std::min<uint64_t>(socketFDBytesAvailable_, bytesRead);
    size_t givenNow = bytesRead;
    if (readIntoPreBuffer) {
        sslPreBuffer_->didWrite(bytesRead);
        givenNow = std::min(bytesRead, stillWanted);
        std::memcpy(out + totalBytesRead, sslPreBuffer_->readBuffer(), givenNow);
        sslPreBuffer_->didRead(givenNow);
    }
    *bufferLength = totalBytesRead + givenNow;
    return givenNow == stillWanted ? tls::kNoErr : tls::kWouldBlock;
}

TlsStatus AsyncSocket::sslWriteWithBuffer(const void* buffer, size_t* bufferLength) {
    if (!(flags_ & FlagCanWrite)) {
        resumeWriteSource();
        *bufferLength = 0;
        return tls::kWouldBlock;
    }
    const size_t bytesToWrite = *bufferLength;
    const ssize_t result = ::send(currentFD(), buffer, bytesToWrite, MSG_NOSIGNAL);
    if (result < 0) {
        const int writeErrno = errno;
        flags_ &= ~FlagCanWrite;
        *bufferLength = 0;
        if (writeErrno == EAGAIN || writeErrno == EWOULDBLOCK) {
            resumeWriteSource();
            return tls::kWouldBlock;
        }
        return tls::kClosedAbort;
    }
    if (result == 0) {
        flags_ &= ~FlagCanWrite;
        *bufferLength = 0;
        resumeWriteSource();
        return tls::kWouldBlock;
    }
    *bufferLength = static_cast<size_t>(result);
    if (static_cast<size_t>(result) == bytesToWrite) return tls::kNoErr;
    // Stopped short: wait for writability before the rest.
    flags_ &= ~FlagCanWrite;
    resumeWriteSource();
    return tls::kWouldBlock;
}
