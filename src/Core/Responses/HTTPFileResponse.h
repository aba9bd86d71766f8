// A response that serves the bytes of a file, read synchronously on the connection's queue: each
// readDataOfLength reads at most the asked length from the file into a new buffer. The length
// is the file's size when the response is made; byte ranges move the read position with
// setOffset. The base connection serves the files under its document root with it.
//
// The file is opened at the first read (or setOffset) and closed when the response goes away.
// Any failure - the file cannot be opened, a seek or read fails, or the file ends before its
// length (it shrank after the response was made) - is logged, and the response aborts: it
// tells its connection (responseDidAbort, which closes after what was queued) and never reads
// again.
//
// Made, used and released on the connection's queue. The connection is held weakly: a response
// never keeps its connection alive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Core/Responses/HTTPResponse.h"

class HTTPConnection;

class HTTPFileResponse : public HTTPResponse {
public:
    // initWithFilePath:forConnection: - the path with its symbolic links resolved. nullptr,
    // after a warning, when there is no path or nothing can be found at it (a path that holds
    // a NUL byte names nothing).
    static std::shared_ptr<HTTPFileResponse> create(const std::optional<std::string>& filePath,
                                                    const std::shared_ptr<HTTPConnection>& connection);
    ~HTTPFileResponse() override;
    HTTPFileResponse(const HTTPFileResponse&) = delete;
    HTTPFileResponse& operator=(const HTTPFileResponse&) = delete;

    uint64_t contentLength() override { return fileLength_; }
    uint64_t offset() override { return fileOffset_; }
    void setOffset(uint64_t offset) override;
    DataSlice readDataOfLength(uint64_t length) override;
    bool isDone() override { return fileOffset_ == fileLength_; }

    const std::string& filePath() const { return filePath_; }
    // Gives up for good and tells the connection.
    void abort();

private:
    HTTPFileResponse(std::string filePath, uint64_t fileLength, const std::shared_ptr<HTTPConnection>& connection);
    bool openFileIfNeeded();

    std::weak_ptr<HTTPConnection> connection_;
    const std::string filePath_;
    const uint64_t fileLength_;
    uint64_t fileOffset_ = 0;
    bool aborted_ = false;
    int fileFD_ = -1;
};
