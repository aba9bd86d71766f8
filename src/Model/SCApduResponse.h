// The apdu reply: the base codes, then "apduresponses", one {"apdu": reply text} per card
// reply in order (an empty array when there is none).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "Model/SCErrorResponse.h"
#include "SmartCard/ResponseAPDU.h"

class SCApduResponse : public SCErrorResponse {
public:
    SCApduResponse() = default;
    SCApduResponse(std::vector<ResponseAPDU> replies, int64_t errorCode, int64_t errorDetails)
        : SCErrorResponse(errorCode, errorDetails), apduResponses(std::move(replies)) {}

    // Reads "apduresponses" back as replies (each element through ResponseAPDU::fromDictionary).
    static SCApduResponse fromJsonString(std::string_view json);

    nlohmann::json jsonDict() const override;
    // "%@ %@": the replies, then the base description.
    std::string description() const override;

    std::vector<ResponseAPDU> apduResponses;
};
