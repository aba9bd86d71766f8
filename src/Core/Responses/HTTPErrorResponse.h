// A fixed response that carries only a status: no body, not chunked, so the connection sends
// its header alone. Used on the connection's queue only.
#pragma once

#include <cstdint>

#include "Core/Responses/HTTPResponse.h"

class HTTPErrorResponse : public HTTPResponse {
public:
    // initWithErrorCode:
    explicit HTTPErrorResponse(int32_t errorCode) : status_(errorCode) {}

    uint64_t contentLength() override { return 0; }
    uint64_t offset() override { return 0; }
    void setOffset(uint64_t) override {}
    DataSlice readDataOfLength(uint64_t) override { return DataSlice(); }
    bool isDone() override { return true; }

    unsigned implementedOperations() const override { return kStatus; }
    int64_t status() override { return status_; }

private:
    int64_t status_;
};
