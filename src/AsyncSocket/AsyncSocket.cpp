#include "AsyncSocket/AsyncSocket.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "AsyncSocket/detail/AsyncSocketInternal.h"

using platform::DispatchQueue;
using platform::DispatchSource;
using asyncsocket::detail::secondsToNanos;

// ---------------------------------------------------------------------------------------------
// Creation, destruction and the queue discipline

std::shared_ptr<AsyncSocket> AsyncSocket::create(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr delegateQueue,
                                                 DispatchQueuePtr socketQueue) {
    return std::shared_ptr<AsyncSocket>(new AsyncSocket(std::move(delegate), std::move(delegateQueue), std::move(socketQueue)));
}

AsyncSocket::AsyncSocket(std::weak_ptr<AsyncSocketDelegate> delegate, DispatchQueuePtr delegateQueue, DispatchQueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue) : DispatchQueue::createSerial("AsyncSocket")),
      preBuffer_(4096),
      isOnSocketQueueOrTargetQueueKey_(&isOnSocketQueueOrTargetQueueKey_) {
    socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_, this);
}

AsyncSocket::~AsyncSocket() {
    // Nobody else can reach the socket any more, so the close posts no disconnect call (it
    // could not hand the delegate a live socket).
    auto closeAll = [this] { closeWithError(std::nullopt); };
    if (onSocketQueue()) {
        closeAll();
    } else {
        socketQueue_->sync(closeAll);
    }
    // A socket queue handed in by the owner outlives the socket: leave no key that could
    // match a later socket at the same address.
    socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
    delegate_.reset();
    delegateQueue_.reset();
}

bool AsyncSocket::onSocketQueue() const {
    return DispatchQueue::getSpecific(isOnSocketQueueOrTargetQueueKey_) != nullptr;
}



// ---------------------------------------------------------------------------------------------
// Event sources of a connected descriptor, and the time-out timers

void AsyncSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int fd) {
    if (!(flags_ & FlagStarted) || currentFD() != fd) return;  // closed before the set-up ran
    readSource_ = DispatchSource::makeRead(fd, socketQueue_);
    writeSource_ = DispatchSource::makeWrite(fd, socketQueue_);
    if (!readSource_ || !writeSource_) {
        const Error error = errnoErrorWithReason("Error creating dispatch sources");
        // Sources without handlers: the descriptor is closed here, not by them.
        for (auto* source : {&readSource_, &writeSource_}) {
            if (*source) {
                (*source)->cancel();
                (*source)->resume();
                source->reset();
            }
        }
        closeWithError(error);
        return;
    }
    std::weak_ptr<AsyncSocket> weakSelf = weak_from_this();
    DispatchSource* readRaw = readSource_.get();
    DispatchSource* writeRaw = writeSource_.get();
    readSource_->setEventHandler([weakSelf, readRaw] {
        auto self = weakSelf.lock();
        if (!self || self->readSource_.get() != readRaw) return;
        self->socketFDBytesAvailable_ = readRaw->data();
        if (self->socketFDBytesAvailable_ > 0) {
            self->doReadData();
        } else {
            self->doReadEOF();
        }
        // Every byte the event reported has been read: the next event needs new bytes, and
        // the source need not look at the descriptor again to find out.
        if (self->socketFDBytesAvailable_ == 0) readRaw->markDrained();
    });
    writeSource_->setEventHandler([weakSelf, writeRaw] {
        auto self = weakSelf.lock();
        if (!self || self->writeSource_.get() != writeRaw) return;
        self->flags_ |= FlagCanWrite;
        self->doWriteData();
    });
    // The descriptor is closed once, by whichever source is cancelled last; an accepted
    // socket then gives its place among its listening socket's accepted sockets back.
    struct SourcesOfDescriptor {
        std::atomic<int> uncancelled{2};
        std::shared_ptr<void> acceptedSlot;
    };
    auto sources = std::make_shared<SourcesOfDescriptor>();
    sources->acceptedSlot = std::move(acceptedSlot_);
    auto cancelHandler = [sources, fd] {
        if (--sources->uncancelled != 0) return;
        ::close(fd);
        sources->acceptedSlot.reset();
    };
    readSource_->setCancelHandler(cancelHandler);
    writeSource_->setCancelHandler(cancelHandler);

    socketFDBytesAvailable_ = 0;
    flags_ &= ~FlagReadSourceSuspended;
    readSource_->resume();
    // A new connection is taken to be writable; the write source runs only once a write
    // would block.
    flags_ |= FlagCanWrite | FlagWriteSourceSuspended;
}

void AsyncSocket::suspendReadSource() {
    if (!(flags_ & FlagReadSourceSuspended) && readSource_) {
        readSource_->suspend();
        flags_ |= FlagReadSourceSuspended;
    }
}

void AsyncSocket::resumeReadSource() {
    if ((flags_ & FlagReadSourceSuspended) && readSource_) {
        readSource_->resume();
        flags_ &= ~FlagReadSourceSuspended;
    }
}

void AsyncSocket::suspendWriteSource() {
    if (!(flags_ & FlagWriteSourceSuspended) && writeSource_) {
        writeSource_->suspend();
        flags_ |= FlagWriteSourceSuspended;
    }
}

void AsyncSocket::resumeWriteSource() {
    if ((flags_ & FlagWriteSourceSuspended) && writeSource_) {
        writeSource_->resume();
        flags_ &= ~FlagWriteSourceSuspended;
    }
}

void AsyncSocket::startTimer(OperationTimer AsyncSocket::*slot, double timeout, void (AsyncSocket::*onTimeout)()) {
    OperationTimer& timer = this->*slot;
    if (!timer.source) {
        timer.source = DispatchSource::makeTimer(socketQueue_);
        std::weak_ptr<AsyncSocket> weakSelf = weak_from_this();
        timer.source->setEventHandler([weakSelf, slot] {
            auto self = weakSelf.lock();
            if (!self) return;
            // Setting the schedule again drops a fire of the old one still on its way, so a
            // fire that arrives belongs to the operation now timed.
            if (auto onTimeout = (self.get()->*slot).onTimeout) (self.get()->*onTimeout)();
        });
        timer.source->resume();
    }
    timer.onTimeout = onTimeout;
    timer.source->setTimer(secondsToNanos(timeout), DispatchSource::kForever, std::chrono::nanoseconds(0));
}

void AsyncSocket::stopTimer(OperationTimer& timer) {
    // The source keeps its schedule: the next operation (on a keep-alive connection, a moment
    // later) sets it again anyway, and a fire that comes first finds no operation to time out
    // and does nothing.
    timer.onTimeout = nullptr;
}

void AsyncSocket::cancelTimer(OperationTimer& timer) {
    timer.onTimeout = nullptr;
    if (timer.source) {
        timer.source->cancel();
        timer.source.reset();
    }
}
