#include "Core/Responses/HTTPFileResponse.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "Core/HTTPConnection.h"
#include "Core/Responses/detail/FileIO.h"
#include "Logging/LxLogMacros.h"
#include "Platform/Files/FileAttributes.h"

std::shared_ptr<HTTPFileResponse> HTTPFileResponse::create(const std::optional<std::string>& filePath,
                                                           const std::shared_ptr<HTTPConnection>& connection) {
    if (!filePath) {
        LX_LOG_WARN(LogContextHttpServer, "%@: Init failed - Nil filePath", THIS_FILE);
        return nullptr;
    }
    std::string path = *filePath;
    // A NUL names no file: the calls below would stop at it and find a shorter name.
    const bool holdsNul = path.find('\0') != std::string::npos;
    char resolved[PATH_MAX];
    if (!holdsNul && ::realpath(path.c_str(), resolved)) path = resolved;
    const std::optional<platform::FileAttributes> attributes =
        holdsNul ? std::nullopt : platform::fileAttributesAtPath(path);
    if (!attributes) {
        LX_LOG_WARN(LogContextHttpServer, "%@: Init failed - Unable to get file attributes. filePath: %@", THIS_FILE, path);
        return nullptr;
    }
    return std::shared_ptr<HTTPFileResponse>(new HTTPFileResponse(std::move(path), attributes->size, connection));
}

HTTPFileResponse::HTTPFileResponse(std::string filePath, uint64_t fileLength, const std::shared_ptr<HTTPConnection>& connection)
    : connection_(connection), filePath_(std::move(filePath)), fileLength_(fileLength) {}

HTTPFileResponse::~HTTPFileResponse() {
    if (fileFD_ >= 0) ::close(fileFD_);
}

void HTTPFileResponse::abort() {
    if (auto connection = connection_.lock()) connection->responseDidAbort(this);
    aborted_ = true;
}

bool HTTPFileResponse::openFileIfNeeded() {
    if (aborted_) return false;
    if (fileFD_ >= 0) return true;
    fileFD_ = ::open(filePath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fileFD_ < 0) {
        LX_LOG_ERROR(LogContextHttpServer, "%@[%p]: Unable to open file. filePath: %@", THIS_FILE,
                     static_cast<const void*>(this), filePath_);
        abort();
        return false;
    }
    return true;
}

void HTTPFileResponse::setOffset(uint64_t offset) {
    if (!openFileIfNeeded()) return;
    fileOffset_ = offset;
    if (!core_detail::seekFile(fileFD_, offset)) {
        const int error = errno;
        LX_LOG_ERROR(LogContextHttpServer, "%@[%p]: lseek failed - errno(%i) filePath(%@)", THIS_FILE,
                     static_cast<const void*>(this), error, filePath_);
        abort();
    }
}

DataSlice HTTPFileResponse::readDataOfLength(uint64_t length) {
    if (!openFileIfNeeded()) return {};
    const uint64_t left = fileOffset_ < fileLength_ ? fileLength_ - fileOffset_ : 0;
    const size_t bytesToRead = static_cast<size_t>(std::min(length, left));

    // A new buffer for every piece: the connection's slice shares it until the socket has
    // written it.
    auto buffer = std::make_shared<DataSlice::Buffer>();
    try {
        buffer->resize(bytesToRead);
    } catch (const std::bad_alloc&) {
        LX_LOG_ERROR(LogContextHttpServer, "%@[%p]: Unable to allocate buffer", THIS_FILE, static_cast<const void*>(this));
        abort();
        return {};
    }
    ssize_t count;
    do {
        count = ::read(fileFD_, buffer->data(), bytesToRead);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        const int error = errno;
        LX_LOG_ERROR(LogContextHttpServer, "%@: Error(%i) reading file(%@)", THIS_FILE, error, filePath_);
        abort();
        return {};
    }
    if (count == 0) {
        LX_LOG_ERROR(LogContextHttpServer, "%@: Read EOF on file(%@)", THIS_FILE, filePath_);
        abort();
        return {};
    }
    fileOffset_ += static_cast<uint64_t>(count);
    buffer->resize(static_cast<size_t>(count));
    return DataSlice(std::move(buffer), 0, static_cast<size_t>(count));
}
