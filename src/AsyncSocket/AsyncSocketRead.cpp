#include "AsyncSocket/AsyncSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "AsyncSocket/detail/AsyncSocketInternal.h"

using platform::TlsStatus;
namespace tls = platform::tls;
using Call = AsyncSocketDelegate::Call;
using asyncsocket::detail::extendTimeout;

// ---------------------------------------------------------------------------------------------
// Reading

void AsyncSocket::readData(double timeout, long tag) {
    readData(timeout, nullptr, 0, 0, tag);
}

void AsyncSocket::readData(double timeout, ByteBufferPtr buffer, uint64_t offset, long tag) {
    readData(timeout, std::move(buffer), offset, 0, tag);
}

void AsyncSocket::readData(double timeout, ByteBufferPtr buffer, uint64_t offset, uint64_t maxLength, long tag) {
    if (offset > (buffer ? buffer->size() : 0)) return;
    enqueueRead(std::make_shared<AsyncReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, std::nullopt, tag));
}

void AsyncSocket::readDataToLength(uint64_t length, double timeout, long tag) {
    readDataToLength(length, timeout, nullptr, 0, tag);
}

void AsyncSocket::readDataToLength(uint64_t length, double timeout, ByteBufferPtr buffer, uint64_t offset, long tag) {
    if (length == 0) return;
    if (offset > (buffer ? buffer->size() : 0)) return;
    enqueueRead(std::make_shared<AsyncReadPacket>(std::move(buffer), offset, 0, timeout, length, std::nullopt, tag));
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, long tag) {
    readDataToData(data, timeout, nullptr, 0, 0, tag);
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, ByteBufferPtr buffer, uint64_t offset, long tag) {
    readDataToData(data, timeout, std::move(buffer), offset, 0, tag);
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, uint64_t maxLength, long tag) {
    readDataToData(data, timeout, nullptr, 0, maxLength, tag);
}

void AsyncSocket::readDataToData(const ByteBuffer& data, double timeout, ByteBufferPtr buffer, uint64_t offset,
                                 uint64_t maxLength, long tag) {
    if (data.empty()) return;
    if (offset > (buffer ? buffer->size() : 0)) return;
    if (maxLength > 0 && maxLength < data.size()) return;
    enqueueRead(std::make_shared<AsyncReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, data, tag));
}

void AsyncSocket::enqueueRead(std::shared_ptr<AsyncReadPacket> packet) {
    postAsync([this, packet = std::move(packet)]() mutable {
        if ((flags_ & FlagStarted) && !(flags_ & FlagNoNewRequests)) {
            readQueue_.push_back(QueuedRead{std::move(packet), nullptr});
            maybeDequeueRead();
        }
    });
}

float AsyncSocket::progressOfRead(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const {
    return onQueueSync([&]() -> float {
        if (!currentRead_.packet) {
            if (tagPtr) *tagPtr = 0;
            if (donePtr) *donePtr = 0;
            if (totalPtr) *totalPtr = 0;
            return std::numeric_limits<float>::quiet_NaN();
        }
        const AsyncReadPacket& packet = *currentRead_.packet;
        if (tagPtr) *tagPtr = packet.tag;
        if (donePtr) *donePtr = packet.bytesDone;
        if (totalPtr) *totalPtr = packet.readLength;
        return packet.readLength > 0 ? static_cast<float>(packet.bytesDone) / static_cast<float>(packet.readLength) : 1.0f;
    });
}

void AsyncSocket::maybeDequeueRead() {
    if (currentRead_ || !(flags_ & FlagConnected)) return;
    if (!readQueue_.empty()) {
        currentRead_ = std::move(readQueue_.front());
        readQueue_.pop_front();
        if (currentRead_.tls) {
            flags_ |= FlagTLSReadReady;
            maybeStartTLS();
        } else {
            setupReadTimerWithTimeout(currentRead_.packet->timeout);
            doReadData();
        }
    } else if (flags_ & FlagCloseAfterReads) {
        if ((flags_ & FlagCloseAfterWrites) && (!writeQueue_.empty() || currentWrite_)) return;
        closeWithError(std::nullopt);
    } else if (flags_ & FlagSecure) {
        flushSSLBuffers();
        if (preBuffer_.availableBytes() == 0) resumeReadSource();
    }
}

void AsyncSocket::doReadData() {
    if (!currentRead_ || (flags_ & FlagReadsPaused)) {
        if (flags_ & FlagSecure) flushSSLBuffers();
        if (socketFDBytesAvailable_ > 0) suspendReadSource();
        return;
    }

    uint64_t estimatedBytesAvailable = socketFDBytesAvailable_;
    if ((flags_ & FlagSecure) && sslContext_) {
        if (sslPreBuffer_) estimatedBytesAvailable += sslPreBuffer_->availableBytes();
        size_t buffered = 0;
        sslContext_->getBufferedReadSize(&buffered);
        estimatedBytesAvailable += buffered;
    }
    const bool hasBytesAvailable = estimatedBytesAvailable > 0;

    if (!hasBytesAvailable && preBuffer_.availableBytes() == 0) {
        resumeReadSource();
        return;
    }

    if (flags_ & FlagTLSReadReady) {
        if (flags_ & FlagTLSWriteReady) {
            ssl_continueSSLHandshake();
        } else {
            suspendReadSource();
        }
        return;
    }
    if (!currentRead_.packet) return;

    // Hold the packet: a delegate-less close below must not free it under us.
    std::shared_ptr<AsyncReadPacket> packetRef = currentRead_.packet;
    AsyncReadPacket& packet = *packetRef;
    bool done = false;
    std::optional<Error> error;
    uint64_t totalBytesReadForCurrentRead = 0;

    auto moveFromPreBuffer = [&](bool* found) {
        uint64_t n;
        if (packet.isTermRead()) {
            n = packet.readLengthForTermWithPreBuffer(preBuffer_, found);
        } else {
            n = packet.readLengthForNonTermWithHint(preBuffer_.availableBytes());
        }
        packet.ensureCapacityForAdditionalDataOfLength(n);
        if (n > 0) std::memcpy(packet.writePosition(), preBuffer_.readBuffer(), n);
        preBuffer_.didRead(n);
        packet.bytesDone += n;
        totalBytesReadForCurrentRead += n;
    };

    // 1. Bytes read ahead earlier.
    if (preBuffer_.availableBytes() > 0) {
        bool found = false;
        moveFromPreBuffer(&found);
        if (packet.readLength > 0) {
            done = packet.bytesDone == packet.readLength;
        } else if (packet.isTermRead()) {
            done = found;
            if (!done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength) error = readMaxedOutError();
        } else {
            done = packet.maxLength > 0 && packet.bytesDone == packet.maxLength;
        }
    }

    // 2. The descriptor or the TLS context.
    bool socketEOF = (flags_ & FlagReadEOF) != 0;
    bool waiting = false;
    if (!done && !error && !socketEOF) {
        if (!hasBytesAvailable) {
            waiting = true;
        } else {
            bool readIntoPreBuffer = false;
            uint64_t bytesToRead;
            if (packet.isTermRead()) {
                bytesToRead = packet.readLengthForTermWithHint(estimatedBytesAvailable, &readIntoPreBuffer);
            } else {
                bytesToRead = packet.readLengthForNonTermWithHint(estimatedBytesAvailable);
            }
            uint8_t* buffer;
            if (readIntoPreBuffer) {
                preBuffer_.ensureCapacityForWrite(bytesToRead);
                buffer = preBuffer_.writeBuffer();
            } else {
                packet.ensureCapacityForAdditionalDataOfLength(bytesToRead);
                buffer = packet.writePosition();
            }

            uint64_t bytesRead = 0;
            if (flags_ & FlagSecure) {
                TlsStatus result = tls::kNoErr;
                do {
                    size_t loopBytesRead = 0;
                    result = sslContext_->read(buffer + bytesRead, bytesToRead - bytesRead, &loopBytesRead);
                    bytesRead += loopBytesRead;
                } while (result == tls::kNoErr && bytesRead < bytesToRead);
                if (result != tls::kNoErr) {
                    if (result == tls::kWouldBlock) {
                        waiting = true;
                    } else if (result == tls::kClosedGraceful || result == tls::kClosedAbort) {
                        socketEOF = true;
                        sslErrCode_ = result;
                    } else {
                        error = sslError(result);
                    }
                }
            } else if (bytesToRead > 0) {
                const ssize_t result = ::read(currentFD(), buffer, bytesToRead);
                if (result < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK) {
                        waiting = true;
                    } else {
                        error = errnoErrorWithReason("Error in read() function");
                    }
                    socketFDBytesAvailable_ = 0;
                } else if (result == 0) {
                    socketEOF = true;
                    socketFDBytesAvailable_ = 0;
                } else {
                    bytesRead = static_cast<uint64_t>(result);
                    if (bytesRead < bytesToRead) {
                        socketFDBytesAvailable_ = 0;
                    } else {
                        socketFDBytesAvailable_ -= std::min(socketFDBytesAvailable_, bytesRead);
                    }
                    if (socketFDBytesAvailable_ == 0) waiting = true;
                }
            } else {
                waiting = true;
            }

            if (bytesRead > 0) {
                if (packet.readLength > 0) {
                    packet.bytesDone += bytesRead;
                    totalBytesReadForCurrentRead += bytesRead;
                    done = packet.bytesDone == packet.readLength;
                } else if (packet.isTermRead()) {
                    if (readIntoPreBuffer) {
                        preBuffer_.didWrite(bytesRead);
                        bool found = false;
                        moveFromPreBuffer(&found);
                        done = found;
                    } else {
                        const int64_t overflow = packet.searchForTermAfterPreBuffering(static_cast<int64_t>(bytesRead));
                        if (overflow == 0) {
                            packet.bytesDone += bytesRead;
                            totalBytesReadForCurrentRead += bytesRead;
                            done = true;
                        } else if (overflow > 0) {
                            const uint64_t underflow = bytesRead - static_cast<uint64_t>(overflow);
                            preBuffer_.ensureCapacityForWrite(static_cast<size_t>(overflow));
                            std::memcpy(preBuffer_.writeBuffer(), packet.writePosition() + underflow, static_cast<size_t>(overflow));
                            preBuffer_.didWrite(static_cast<size_t>(overflow));
                            packet.bytesDone += underflow;
                            totalBytesReadForCurrentRead += underflow;
                            done = true;
                        } else {
                            packet.bytesDone += bytesRead;
                            totalBytesReadForCurrentRead += bytesRead;
                        }
                    }
                } else {
                    packet.bytesDone += bytesRead;
                    totalBytesReadForCurrentRead += bytesRead;
                    done = true;
                }
            }
            if (packet.isTermRead() && !done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength) {
                error = readMaxedOutError();
            }
        }
    }

    if (!done && packet.readLength == 0 && !packet.isTermRead() && totalBytesReadForCurrentRead > 0) done = true;

    if (done) {
        completeCurrentRead();
        if (error) {
            closeWithError(error);
        } else if (!socketEOF) {
            maybeDequeueRead();
            if (waiting) resumeReadSource();
        } else {
            if (preBuffer_.availableBytes() > 0) maybeDequeueRead();
            // The read that was dequeued may have met the end and closed the socket already.
            if (flags_ & FlagStarted) doReadEOF();
        }
    } else {
        if (totalBytesReadForCurrentRead > 0) {
            const long tag = packet.tag;
            postDelegate(Call::DidReadPartialData, [tag, n = totalBytesReadForCurrentRead](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
                d.didReadPartialData(s, n, tag);
            });
        }
        if (error) {
            closeWithError(error);
        } else if (socketEOF) {
            doReadEOF();
        } else if (waiting) {
            resumeReadSource();
        } else if (flags_ & FlagSecure) {
            // The read stopped at its estimate, not at a would-block: the TLS layer may still
            // hold bytes that the descriptor has already handed over and will never announce
            // again. Go on with them in a later step; with nothing held, wait for the
            // descriptor.
            size_t buffered = 0;
            if (sslContext_) sslContext_->getBufferedReadSize(&buffered);
            if (buffered > 0 || (sslPreBuffer_ && sslPreBuffer_->availableBytes() > 0) || socketFDBytesAvailable_ > 0) {
                postAsync([this] { doReadData(); });
            } else {
                resumeReadSource();
            }
        }
    }
}

void AsyncSocket::doReadEOF() {
    flags_ |= FlagReadEOF;
    if (flags_ & FlagSecure) flushSSLBuffers();

    bool shouldDisconnect = false;
    std::optional<Error> error;
    if (flags_ & (FlagTLSReadReady | FlagTLSWriteReady)) {
        // The stream ended while the upgrade was pending or under way.
        shouldDisconnect = true;
        error = sslError(tls::kClosedAbort);
    } else if ((flags_ & FlagReadClosed) || preBuffer_.availableBytes() > 0) {
        // Keep the socket until the reads have taken what was read ahead.
        suspendReadSource();
    } else if (config_ & ConfigHalfDuplex) {
        pollfd pfd{};
        pfd.fd = currentFD();
        pfd.events = POLLOUT;
        ::poll(&pfd, 1, 0);
        if (pfd.revents & POLLOUT) {
            flags_ |= FlagReadClosed;
            postDelegate(Call::DidCloseReadStream, [](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
                d.socketDidCloseReadStream(s);
            });
            suspendReadSource();
        } else {
            shouldDisconnect = true;
        }
    } else {
        shouldDisconnect = true;
    }

    if (shouldDisconnect) {
        if (!error) {
            if (sslErrCode_ != tls::kNoErr && sslErrCode_ != tls::kClosedGraceful) {
                error = sslError(sslErrCode_);
            } else {
                error = connectionClosedError();
            }
        }
        closeWithError(error);
    }
}

void AsyncSocket::completeCurrentRead() {
    // The read ends here (endCurrentRead below): the packet moves on to the data it delivers.
    std::shared_ptr<AsyncReadPacket> packet = std::move(currentRead_.packet);
    const long tag = packet->tag;
    AsyncSocketData result;
    if (packet->bufferOwner()) {
        packet->buffer->resize(packet->bytesDone);
        const uint64_t length = packet->bytesDone;
        const ByteBuffer* bytes = &packet->ownBuffer;
        // The bytes live in the packet, which the data keeps alive.
        result = AsyncSocketData(std::shared_ptr<const ByteBuffer>(std::move(packet), bytes), 0, length);
    } else {
        const uint64_t readSize = packet->startOffset + packet->bytesDone;
        if (packet->buffer->size() > packet->originalBufferLength && packet->buffer->size() > readSize) {
            packet->buffer->resize(std::max(readSize, packet->originalBufferLength));
        }
        result = AsyncSocketData(packet->callerBuffer, packet->startOffset, packet->bytesDone);
    }
    postDelegate(Call::DidReadData, [result = std::move(result), tag](AsyncSocketDelegate& d, const std::shared_ptr<AsyncSocket>& s) {
        d.didReadData(s, result, tag);
    });
    endCurrentRead();
}

void AsyncSocket::endCurrentRead() {
    stopTimer(readTimer_);
    currentRead_ = QueuedRead{};
}

void AsyncSocket::setupReadTimerWithTimeout(double timeout) {
    if (timeout < 0.0) return;
    startTimer(&AsyncSocket::readTimer_, timeout, &AsyncSocket::doReadTimeout);
}

void AsyncSocket::doReadTimeout() {
    if (!currentRead_.packet) return;
    flags_ |= FlagReadsPaused;
    std::shared_ptr<AsyncSocketDelegate> delegate = delegate_.lock();
    if (delegateQueue_ && delegate && delegate->respondsTo(Call::ShouldTimeoutRead)) {
        std::shared_ptr<AsyncReadPacket> packet = currentRead_.packet;
        delegateQueue_->async([self = shared_from_this(), delegate, packet, tag = packet->tag, elapsed = packet->timeout,
                               bytesDone = packet->bytesDone] {
            const double extension = delegate->shouldTimeoutRead(self, tag, elapsed, bytesDone);
            self->socketQueue_->async([self, packet, extension] {
                // The answer is for the read that asked; a later one has its own timer.
                if (self->currentRead_.packet == packet) self->doReadTimeoutWithExtension(extension);
            });
        });
    } else {
        doReadTimeoutWithExtension(0.0);
    }
}

void AsyncSocket::doReadTimeoutWithExtension(double extension) {
    if (!currentRead_.packet) return;
    if (extendTimeout(currentRead_.packet->timeout, readTimer_.source, extension)) {
        flags_ &= ~FlagReadsPaused;
        doReadData();
    } else {
        closeWithError(readTimeoutError());
    }
}
