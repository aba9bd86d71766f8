#include "Core/Responses/HTTPAsyncFileResponse.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "Core/HTTPConnection.h"
#include "Core/Responses/detail/FileIO.h"
#include "Logging/LxLogMacros.h"
#include "Platform/Files/FileAttributes.h"

std::optional<uint64_t> HTTPAsyncFileResponse::fileLengthForResponse(const std::optional<std::string>& filePath) {
    if (!filePath) {
        LX_LOG_WARN(LogContextHttpServer, "%@: Init failed - Nil filePath", THIS_FILE);
        return std::nullopt;
    }
    // A NUL names no file: the C calls would stop at it and find a shorter name.
    const std::optional<platform::FileAttributes> attributes =
        filePath->find('\0') != std::string::npos ? std::nullopt : platform::fileAttributesAtPath(*filePath);
    if (!attributes) {
        LX_LOG_WARN(LogContextHttpServer, "%@: Init failed - Unable to get file attributes. filePath: %@", THIS_FILE,
                    *filePath);
        return std::nullopt;
    }
    return attributes->size;
}

std::shared_ptr<HTTPAsyncFileResponse> HTTPAsyncFileResponse::create(const std::optional<std::string>& filePath,
                                                                     const std::shared_ptr<HTTPConnection>& connection) {
    const std::optional<uint64_t> length = fileLengthForResponse(filePath);
    if (!length) return nullptr;
    return std::shared_ptr<HTTPAsyncFileResponse>(new HTTPAsyncFileResponse(*filePath, *length, connection));
}

HTTPAsyncFileResponse::HTTPAsyncFileResponse(std::string filePath, uint64_t fileLength,
                                             const std::shared_ptr<HTTPConnection>& connection)
    : connection_(connection), filePath_(std::move(filePath)), fileLength_(fileLength) {}

HTTPAsyncFileResponse::~HTTPAsyncFileResponse() {
    // A response dropped without connectionDidClose still lets its source go; the source's
    // cancel handler closes the file.
    if (readSource_ && !readSource_->isCancelled()) {
        readSource_->cancel();
        if (readSourceSuspended_) readSource_->resume();
    }
}

void HTTPAsyncFileResponse::abort() {
    if (auto connection = connection_.lock()) connection->responseDidAbort(this);
    aborted_ = true;
}

size_t HTTPAsyncFileResponse::readBufferSize() { return readBufferSize_.load(); }

// ---------------------------------------------------------------------------------------------
// Connection queue

bool HTTPAsyncFileResponse::openFileIfNeeded() {
    if (aborted_) return false;
    if (fileFD_ >= 0) return true;
    return openFileAndSetupReadSource();
}

bool HTTPAsyncFileResponse::openFileAndSetupReadSource() {
    const int fd = ::open(filePath_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    auto queue = fd >= 0 ? platform::DispatchQueue::createSerial("HTTPAsyncFileResponse") : nullptr;
    auto source = fd >= 0 ? platform::DispatchSource::makeRead(fd, queue) : nullptr;
    if (!source) {
        LX_LOG_ERROR(LogContextHttpServer, "%@: Unable to open file. filePath: %@", THIS_FILE, filePath_);
        if (fd >= 0) ::close(fd);
        // Nothing would ever be announced: without the abort the connection waited for ever.
        abort();
        return false;
    }
    std::weak_ptr<HTTPAsyncFileResponse> weak = weak_from_this();
    source->setEventHandler([weak] {
        if (auto self = weak.lock()) self->readFromFile();
    });
    source->setCancelHandler([fd] { ::close(fd); });
    fileFD_ = fd;
    readQueue_ = std::move(queue);
    readSource_ = std::move(source);
    readSourceSuspended_ = true;  // sources start suspended
    return true;
}

DataSlice HTTPAsyncFileResponse::readDataOfLength(uint64_t length) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (data_) {
            std::shared_ptr<const DataSlice::Buffer> data = std::move(data_);
            data_.reset();
            fileOffset_ += data->size();
            return DataSlice(data, 0, data->size());
        }
    }
    if (!openFileIfNeeded()) return {};
    readQueue_->sync([this, length] {
        readRequestLength_ = length;
        // A piece that came meanwhile is announced already; reading on now would join the next
        // piece to it, beyond the length asked for.
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!data_) resumeReadSource();
    });
    return {};
}

void HTTPAsyncFileResponse::setOffset(uint64_t offset) {
    if (!openFileIfNeeded()) return;
    fileOffset_ = offset;
    readQueue_->sync([this, offset] {
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            readOffset_ = offset;
            // Bytes read from the old position are not wanted any more.
            readBufferOffset_ = 0;
            data_.reset();
        }
        if (!core_detail::seekFile(fileFD_, offset)) {
            const int error = errno;
            LX_LOG_ERROR(LogContextHttpServer, "%@[%p]: lseek failed - errno(%i) filePath(%@)", THIS_FILE,
                         static_cast<const void*>(this), error, filePath_);
            abort();
        }
    });
}

void HTTPAsyncFileResponse::connectionDidClose() {
    if (fileFD_ < 0) return;
    readQueue_->sync([this] {
        connection_.reset();
        cancelReadSource();
    });
}

bool HTTPAsyncFileResponse::hasReadWholeFile() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return readOffset_ == fileLength_;
}

bool HTTPAsyncFileResponse::hasReadAndHandedOverWholeFile() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return readOffset_ == fileLength_ && readBufferOffset_ == 0 && !data_;
}

// ---------------------------------------------------------------------------------------------
// Read queue

void HTTPAsyncFileResponse::readFromFile() {
    const uint64_t available = readSource_->data();
    const uint64_t left = fileLength_ > readOffset_ ? fileLength_ - readOffset_ : 0;
    if (left == 0) {
        // Every byte has been read (a request that came late): nothing to read, nothing wrong.
        pauseReadSource();
        return;
    }
    // Held bytes count against the request; when they fill it (a subclass holds back the
    // beginning of a key), another request's worth is read, as they cannot go out before more
    // bytes come.
    const uint64_t wanted = readRequestLength_ > readBufferOffset_ ? readRequestLength_ - readBufferOffset_
                                                                  : std::max<uint64_t>(readRequestLength_, 1);
    const size_t bytesToRead = static_cast<size_t>(std::min({available, left, wanted}));
    if (readBuffer_.size() - readBufferOffset_ < bytesToRead &&
        !growReadBuffer(readBufferOffset_ + bytesToRead - readBuffer_.size())) {
        pauseReadSource();
        return;
    }

    ssize_t count;
    do {
        count = ::read(fileFD_, readBuffer_.data() + readBufferOffset_, bytesToRead);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        const int error = errno;
        LX_LOG_ERROR(LogContextHttpServer, "%@: Error(%i) reading file(%@)", THIS_FILE, error, filePath_);
        pauseReadSource();
        abort();
        return;
    }
    if (count == 0) {
        LX_LOG_ERROR(LogContextHttpServer, "%@: Read EOF on file(%@)", THIS_FILE, filePath_);
        pauseReadSource();
        abort();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        readOffset_ += static_cast<uint64_t>(count);
        readBufferOffset_ += static_cast<size_t>(count);
    }
    pauseReadSource();
    processReadBuffer();
}

bool HTTPAsyncFileResponse::growReadBuffer(size_t extra) {
    try {
        readBuffer_.resize(readBuffer_.size() + extra);
    } catch (const std::bad_alloc&) {
        LX_LOG_ERROR(LogContextHttpServer, "%@[%p]: Unable to allocate buffer", THIS_FILE, static_cast<const void*>(this));
        abort();
        return false;
    }
    readBufferSize_.store(readBuffer_.size());
    return true;
}

void HTTPAsyncFileResponse::setReadBufferOffset(size_t count) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    readBufferOffset_ = count;
}

void HTTPAsyncFileResponse::processReadBuffer() { handOver(readBufferOffset_); }

void HTTPAsyncFileResponse::handOver(size_t count) {
    const size_t held = readBufferOffset_;
    count = std::min(count, held);
    if (count == 0) {
        if (!hasReadWholeFile()) {
            resumeReadSource();
            return;
        }
        announce();  // the end: nothing more will come
        return;
    }
    auto piece = std::make_shared<DataSlice::Buffer>(readBuffer_.begin(), readBuffer_.begin() + static_cast<long>(count));
    std::memmove(readBuffer_.data(), readBuffer_.data() + count, held - count);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (data_) {
            // The connection has not taken the last piece yet: this one follows it.
            auto joined = std::make_shared<DataSlice::Buffer>(*data_);
            joined->insert(joined->end(), piece->begin(), piece->end());
            piece = std::move(joined);
        }
        data_ = std::move(piece);
        readBufferOffset_ = held - count;
    }
    announce();
}

void HTTPAsyncFileResponse::announce() {
    if (auto connection = connection_.lock()) connection->responseHasAvailableData(this);
}

void HTTPAsyncFileResponse::pauseReadSource() {
    if (readSourceSuspended_) return;
    readSourceSuspended_ = true;
    readSource_->suspend();
}

void HTTPAsyncFileResponse::resumeReadSource() {
    if (!readSourceSuspended_ || readSource_->isCancelled()) return;
    readSourceSuspended_ = false;
    readSource_->resume();
}

void HTTPAsyncFileResponse::cancelReadSource() {
    readSource_->cancel();
    // The cancel handler, which closes the file, runs only once the source is not suspended.
    if (readSourceSuspended_) {
        readSourceSuspended_ = false;
        readSource_->resume();
    }
}
