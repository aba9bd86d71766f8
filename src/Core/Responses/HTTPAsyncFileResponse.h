// A response that serves the bytes of a file without reading on the connection's queue: reads
// happen on a serial queue of its own ("HTTPAsyncFileResponse"), driven by a read-readiness
// source on the file, and the response announces each piece to its connection
// (responseHasAvailableData).
//
// The connection's readDataOfLength hands over the piece read last, when there is one;
// otherwise it asks for at most that length to be read and answers nothing (the connection
// then waits for the announcement). Each readiness event reads once, pauses the source and
// passes the bytes to processReadBuffer, which a subclass may replace to rework them before
// they are handed over (HTTPDynamicFileResponse).
//
// The length is the file's size when the response is made. Any failure - the file cannot be
// opened, a seek or read fails, the buffer cannot grow, or the file ends before its length (it
// shrank) - is logged, and the response aborts: it tells its connection (responseDidAbort,
// which closes after what was queued) and never reads again. connectionDidClose cancels the
// source, which closes the file.
//
// Queues: readDataOfLength, setOffset, offset, isDone and connectionDidClose on the connection's
// queue; the read handler and processReadBuffer on the read queue. What both sides touch -
// the piece to hand over, the read position and the count of held bytes - is guarded by a
// lock. The connection is held weakly.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Core/Responses/HTTPResponse.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DispatchSource.h"

class HTTPConnection;

class HTTPAsyncFileResponse : public HTTPResponse, public std::enable_shared_from_this<HTTPAsyncFileResponse> {
public:
    // initWithFilePath:forConnection: - the path as given (links are followed when the file is
    // opened). nullptr, after a warning, when there is no path or nothing can be found at it
    // (a path that holds a NUL byte names nothing).
    static std::shared_ptr<HTTPAsyncFileResponse> create(const std::optional<std::string>& filePath,
                                                         const std::shared_ptr<HTTPConnection>& connection);
    ~HTTPAsyncFileResponse() override;
    HTTPAsyncFileResponse(const HTTPAsyncFileResponse&) = delete;
    HTTPAsyncFileResponse& operator=(const HTTPAsyncFileResponse&) = delete;

    unsigned implementedOperations() const override { return kConnectionDidClose; }
    uint64_t contentLength() override { return fileLength_; }
    uint64_t offset() override { return fileOffset_; }
    void setOffset(uint64_t offset) override;
    DataSlice readDataOfLength(uint64_t length) override;
    bool isDone() override { return fileOffset_ == fileLength_; }
    void connectionDidClose() override;

    const std::string& filePath() const { return filePath_; }
    bool isAsynchronous() const { return true; }
    // Gives up for good and tells the connection. Any queue.
    void abort();
    // The size of the read buffer, which only grows. Any queue but the read queue.
    size_t readBufferSize();

protected:
    HTTPAsyncFileResponse(std::string filePath, uint64_t fileLength, const std::shared_ptr<HTTPConnection>& connection);
    // The checks of the initialiser: the file's length, or nullopt after the warning.
    static std::optional<uint64_t> fileLengthForResponse(const std::optional<std::string>& filePath);

    // Read queue: the bytes just read are the first readBufferOffset() bytes of readBuffer().
    // The base hands them all over.
    virtual void processReadBuffer();
    // Read queue, for processReadBuffer: hands over the first `count` held bytes and announces
    // them; the rest stay held, moved to the front. A count of 0 before the end of the file
    // reads on instead (there is nothing to announce yet).
    void handOver(size_t count);
    // Read queue: the buffer, the count of bytes it holds, and growing it by `extra` bytes
    // (false, after the log line and an abort, when it cannot grow).
    std::vector<uint8_t>& readBuffer() { return readBuffer_; }
    size_t readBufferOffset() const { return readBufferOffset_; }
    void setReadBufferOffset(size_t count);
    bool growReadBuffer(size_t extra);
    // Any queue: whether every byte of the file has been read; and whether, besides, every
    // byte has been taken by the connection (none held, none waiting).
    bool hasReadWholeFile();
    bool hasReadAndHandedOverWholeFile();

private:
    bool openFileIfNeeded();
    bool openFileAndSetupReadSource();
    void readFromFile();
    void pauseReadSource();
    void resumeReadSource();
    void cancelReadSource();
    void announce();

    // Set when made; the connection is dropped (on the read queue) when it closes.
    std::weak_ptr<HTTPConnection> connection_;
    const std::string filePath_;
    const uint64_t fileLength_;
    std::atomic<bool> aborted_{false};

    // Connection queue.
    uint64_t fileOffset_ = 0;  // bytes handed to the connection (from the offset set)
    int fileFD_ = -1;
    std::shared_ptr<platform::DispatchQueue> readQueue_;   // made when the file is opened
    std::shared_ptr<platform::DispatchSource> readSource_;  // on fileFD_, delivering on readQueue_

    // Read queue; its size is mirrored for readBufferSize().
    std::vector<uint8_t> readBuffer_;
    std::atomic<size_t> readBufferSize_{0};
    uint64_t readRequestLength_ = 0;
    bool readSourceSuspended_ = false;

    // The read position and the held count are written on the read queue only (setOffset
    // writes them there too), under stateMutex_; the read queue reads them without it. The
    // piece is set on the read queue and taken on the connection queue, both under it.
    std::mutex stateMutex_;
    uint64_t readOffset_ = 0;       // file position of the next read
    size_t readBufferOffset_ = 0;   // bytes held in readBuffer_
    std::shared_ptr<const DataSlice::Buffer> data_;  // ready for the connection, or null
};
