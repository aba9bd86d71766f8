// A response whose body is a byte buffer in memory, served in slices that share the buffer.
// The buffer is immutable: setData replaces it rather than changing it, so slices already
// handed to the socket stay valid. Subclasses (the API's responses) replace the body with
// setData and add header fields by overriding httpHeaders; contentLength and isDone read the
// body through data(), so a subclass's accessor is honoured.
//
// Used on the connection's queue only, like every response.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Core/Responses/HTTPResponse.h"

class HTTPDataResponse : public HTTPResponse {
public:
    using Buffer = DataSlice::Buffer;

    // initWithData: keeps the buffer (shared, not copied), offset 0. A null buffer is an empty body.
    explicit HTTPDataResponse(std::shared_ptr<const Buffer> data);
    explicit HTTPDataResponse(Buffer data);

    uint64_t contentLength() override;
    uint64_t offset() override { return offset_; }
    // No bounds check: the connection sets offsets inside the body only. Reading from beyond
    // the end gives empty slices and counts as done.
    void setOffset(uint64_t offset) override { offset_ = offset; }
    DataSlice readDataOfLength(uint64_t length) override;
    bool isDone() override;

    virtual std::shared_ptr<const Buffer> data() const { return data_; }
    virtual void setData(std::shared_ptr<const Buffer> data);
    void setData(Buffer data) { setData(std::make_shared<const Buffer>(std::move(data))); }

private:
    uint64_t offset_ = 0;
    std::shared_ptr<const Buffer> data_;
};
