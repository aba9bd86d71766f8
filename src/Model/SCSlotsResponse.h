// The list reply: the base codes, then "readers", each reader entry's JSON form in order
// (entries without a name left out; an empty array when there is none).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "Model/SCErrorResponse.h"
#include "Model/SCSlotModel.h"

class SCSlotsResponse : public SCErrorResponse {
public:
    SCSlotsResponse() = default;
    explicit SCSlotsResponse(std::vector<std::shared_ptr<SCSlotModel>> slots) : slots(std::move(slots)) {}
    SCSlotsResponse(std::vector<std::shared_ptr<SCSlotModel>> slots, int64_t errorCode, int64_t errorDetails)
        : SCErrorResponse(errorCode, errorDetails), slots(std::move(slots)) {}

    // Keeps "readers" as received, in `readers`.
    static SCSlotsResponse fromJsonString(std::string_view json);

    nlohmann::json jsonDict() const override;

    std::vector<std::shared_ptr<SCSlotModel>> slots;
    nlohmann::json readers;  // filled only by decoding
};
