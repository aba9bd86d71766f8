// The base of the API's reply models: "errorcode" and "errordetail" (JSON integers, 0 unless
// set). Subclasses call the base's jsonDict and add their own keys to it.
//
// The decoding factories (fromJsonString, fromData) read a reply back into a model; the
// running system never calls them. They keep the decoded object in parsedJsonDict.
//
// Plain values, used on the caller's thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Model/SCResponse.h"

class SCErrorResponse : public SCResponse {
public:
    SCErrorResponse() = default;
    SCErrorResponse(int64_t errorCode, int64_t errorDetail) : errorCode(errorCode), errorDetail(errorDetail) {}

    static SCErrorResponse fromJsonString(std::string_view json);
    static SCErrorResponse fromData(std::span<const uint8_t> data);

    nlohmann::json jsonDict() const override;
    // "errorCode: %li, errroDetail: %li"
    std::string description() const override;

    int64_t errorCode = 0;
    int64_t errorDetail = 0;
    nlohmann::json parsedJsonDict;  // filled only by decoding

protected:
    // Parses the bytes into parsedJsonDict and reads "errorcode" and "errordetail".
    void decodeBase(std::span<const uint8_t> data);
};
