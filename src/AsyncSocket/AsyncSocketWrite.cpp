#include "AsyncSocket/AsyncSocket.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "AsyncSocket/detail/AsyncSocketInternal.h"

using platform::TlsStatus;
namespace tls = platform::tls;
using Call = AsyncSocketDelegate::Call;
using asyncsocket::detail::extendTimeout;

// ---------------------------------------------------------------------------------------------
// Writing

void AsyncSocket::writeData(ByteBuffer data, double timeout, long tag) {
    if (data.empty()) return;
    writeData(std::make_shared<const ByteBuffer>(std::move(data)), timeout, tag);
}

void AsyncSocket::writeData(std::shared_ptr<const ByteBuffer> data, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<AsyncWritePacket>(std::move(data), timeout, tag);
    postAsync([this, packet = std::move(packet)]() mutable {
        if ((flags_ & FlagStarted) && !(flags_ & FlagNoNewRequests)) {
            writeQueue_.push_back(QueuedWrite{std::move(packet), nullptr});
            maybeDequeueWrite();
        }
    });
}

float AsyncSocket::progressOfWrite(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const {
    return onQueueSync([&]() -> float {
        if (!currentWrite_.packet) {
            if (tagPtr) *tagPtr = 0;
            if (donePtr) *donePtr = 0;
            if (totalPtr) *totalPtr = 0;
            return std::numeric_limits<float>::quiet_NaN();
        }
        const AsyncWritePacket& packet = *currentWrite_.packet;
        const uint64_t total = packet.buffer->size();
        if (tagPtr) *tagPtr = packet.tag;
        if (donePtr) *donePtr = packet.bytesDone;
        if (totalPtr) *totalPtr = total;
        return static_cast<float>(packet.bytesDone) / static_cast<float>(total);
    });
}

void AsyncSocket::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & FlagConnected)) return;
    if (!writeQueue_.empty()) {
        currentWrite_ = std::move(writeQueue_.front());
        writeQueue_.pop_front();
        if (currentWrite_.tls) {
            flags_ |= FlagTLSWriteReady;
            maybeStartTLS();
        } else {
            setupWriteTimerWithTimeout(currentWrite_.packet->timeout);
            doWriteData();
        }
    } else if (flags_ & FlagCloseAfterWrites) {
        if ((flags_ & FlagCloseAfterReads) && (!readQueue_.empty() || currentRead_)) return;
        closeWithError(std::nullopt);
    }
}

void AsyncSocket::doWriteData() {
    if (!currentWrite_ || (flags_ & FlagWritesPaused)) {
        if (flags_ & FlagCanWrite) suspendWriteSource();
        return;
    }
    if (!(flags_ & FlagCanWrite)) {
        resumeWriteSource();
        return;
    }
    if (flags_ & FlagTLSWriteReady) {
        if (flags_ & FlagTLSReadReady) {
            ssl_continueSSLHandshake();
        } else {
            suspendWriteSource();
        }
        return;
    }
    if (!currentWrite_.packet) return;

    std::shared_ptr<AsyncWritePacket> packetRef = currentWrite_.packet;
    AsyncWritePacket& packet = *packetRef;
    const uint64_t length = packet.buffer->size();
    bool waiting = false;
    std::optional<Error> error;
    uint64_t bytesWritten = 0;

    if (flags_ & FlagSecure) {
        bool hasNewDataToWrite = true;
        if (sslWriteCachedLength_ > 0) {
            size_t processed = 0;
            const TlsStatus result = sslContext_->write(nullptr, 0, &processed);
            if (result == tls::kNoErr) {
                bytesWritten = sslWriteCachedLength_;
                sslWriteCachedLength_ = 0;
                if (packet.bytesDone + bytesWritten == length) hasNewDataToWrite = false;
            } else {
                if (result == tls::kWouldBlock) {
                    waiting = true;
                } else {
                    error = sslError(result);
                }
                hasNewDataToWrite = false;
            }
        }
        if (hasNewDataToWrite) {
            const uint8_t* buffer = packet.buffer->data() + packet.bytesDone + bytesWritten;
            uint64_t bytesToWrite = length - packet.bytesDone - bytesWritten;
            while (bytesToWrite > 0) {
                // Bounded records, so that one large body is encrypted piece by piece.
                const size_t piece = static_cast<size_t>(std::min<uint64_t>(bytesToWrite, 32768));
                size_t processed = 0;
                const TlsStatus result = sslContext_->write(buffer, piece, &processed);
                if (result == tls::kNoErr) {
                    bytesWritten += processed;
                    buffer += processed;
                    bytesToWrite -= processed;
                    if (processed == 0) break;  // never spin on a context that takes nothing
                } else if (result == tls::kWouldBlock) {
                    sslWriteCachedLength_ = piece;
                    waiting = true;
                    break;
                } else {
                    error = sslError(result);
                    break;
                }
            }
        }
    } else {
        const ssize_t result = ::send(currentFD(), packet.buffer->data() + packet.bytesDone,
                                      static_cast<size_t>(length - packet.bytesDone), MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                waiting = true;
            } else {
                error = errnoErrorWithReason("Error in write() function");
            }
        } else {
            bytesWritten = static_cast<uint64_t>(result);
        }
    }

    if (waiting) {
        flags_ &= ~FlagCanWrite;
        resumeWriteSource();
    }

    if (bytesWritten > 0) packet.bytesDone += bytesWritten;
    if (packet.bytesDone == length) {
        completeCurrentWrite();
        if (!error) {
            maybeDequeueWrite();
            return;
        }
    } else {
        if (!waiting && !error) {
            flags_ &= ~FlagCanWrite;
            resumeWriteSource();
        }
        // The bytes that went out before a failure are reported too, ahead of the close.
        if (bytesWritten > 0) {
            const long tag = packet.tag;
            postDelegate(Call::DidWritePartialData, [tag, n = bytesWritten](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
                d.didWritePartialData(s, n, tag);
            });
        }
        if (!error) return;
    }
    closeWithError(error);
}

void AsyncSocket::completeCurrentWrite() {
    const long tag = currentWrite_.packet->tag;
    postDelegate(Call::DidWriteData, [tag](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) { d.didWriteData(s, tag); });
    endCurrentWrite();
}

void AsyncSocket::endCurrentWrite() {
    stopTimer(writeTimer_);
    currentWrite_ = QueuedWrite{};
}

void AsyncSocket::setupWriteTimerWithTimeout(double timeout) {
    if (timeout < 0.0) return;
    startTimer(&AsyncSocket::writeTimer_, timeout, &AsyncSocket::doWriteTimeout);
}

void AsyncSocket::doWriteTimeout() {
    if (!currentWrite_.packet) return;
    flags_ |= FlagWritesPaused;
    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    if (delegateQueue_ && delegate && delegate->respondsTo(Call::ShouldTimeoutWrite)) {
        std::shared_ptr<AsyncWritePacket> packet = currentWrite_.packet;
        delegateQueue_->async([self = shared_from_this(), delegate, packet, tag = packet->tag, elapsed = packet->timeout,
                               bytesDone = packet->bytesDone] {
            const double extension = delegate->shouldTimeoutWrite(self, tag, elapsed, bytesDone);
            self->socketQueue_->async([self, packet, extension] {
                if (self->currentWrite_.packet == packet) self->doWriteTimeoutWithExtension(extension);
            });
        });
    } else {
        doWriteTimeoutWithExtension(0.0);
    }
}

void AsyncSocket::doWriteTimeoutWithExtension(double extension) {
    if (!currentWrite_.packet) return;
    if (extendTimeout(currentWrite_.packet->timeout, writeTimer_.source, extension)) {
        flags_ &= ~FlagWritesPaused;
        doWriteData();
    } else {
        closeWithError(writeTimeoutError());
    }
}
