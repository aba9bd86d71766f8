// The status reply: the base codes, then "cardstatus" (a JSON integer).
#pragma once

#include <cstdint>
#include <string_view>

#include "Model/SCErrorResponse.h"

class SCReaderStatusResponse : public SCErrorResponse {
public:
    SCReaderStatusResponse() = default;
    SCReaderStatusResponse(int64_t status, int64_t errorCode, int64_t errorDetail)
        : SCErrorResponse(errorCode, errorDetail), cardStatus(status) {}

    static SCReaderStatusResponse fromJsonString(std::string_view json);

    nlohmann::json jsonDict() const override;

    int64_t cardStatus = 0;
};
