// The hashdoc reply: the base codes, then "documenthash" and "errormessage", each only when
// set (never "sessionref").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Model/SCErrorResponse.h"
#include "Util/Bytes.h"

class SCHashDocResponse : public SCErrorResponse {
public:
    SCHashDocResponse() = default;
    SCHashDocResponse(int64_t errorCode, int64_t errorDetail) : SCErrorResponse(errorCode, errorDetail) {}

    static SCHashDocResponse fromJsonString(std::string_view json);
    static SCHashDocResponse fromData(std::span<const uint8_t> data);

    // As SCGetDocResponse::setDocumentHashData.
    void setDocumentHashData(const ByteBuffer& data);

    nlohmann::json jsonDict() const override;

    std::optional<std::string> documentHash;
    ByteBuffer documentHashData;
    std::optional<std::string> errorMessage;
};
