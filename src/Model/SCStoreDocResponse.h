// The storedoc reply: the base codes, "sessionref" (always, decimal text), and
// "errormessage" when set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Model/SCErrorResponse.h"

class SCStoreDocResponse : public SCErrorResponse {
public:
    SCStoreDocResponse() = default;

    static SCStoreDocResponse fromJsonString(std::string_view json);

    nlohmann::json jsonDict() const override;
    // "%@, sessionref: %llu, errorMsg: %@"
    std::string description() const override;

    uint64_t sessionRef = 0;
    std::optional<std::string> errorMessage;
};
