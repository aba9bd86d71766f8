// A fixed redirect: status 302 with "Location" set to the path, no body, not chunked, so the
// connection sends its header alone. Used on the connection's queue only.
#pragma once

#include <string>

#include "Core/Responses/HTTPResponse.h"

class HTTPRedirectResponse : public HTTPResponse {
public:
    // initWithPath: keeps a copy of the path.
    explicit HTTPRedirectResponse(std::string path) : redirectPath_(std::move(path)) {}

    uint64_t contentLength() override { return 0; }
    uint64_t offset() override { return 0; }
    void setOffset(uint64_t) override {}
    DataSlice readDataOfLength(uint64_t) override { return DataSlice(); }
    bool isDone() override { return true; }

    unsigned implementedOperations() const override { return kStatus | kHttpHeaders; }
    int64_t status() override { return 302; }
    std::map<std::string, std::string> httpHeaders() override;

    const std::string& redirectPath() const { return redirectPath_; }

private:
    std::string redirectPath_;
};
