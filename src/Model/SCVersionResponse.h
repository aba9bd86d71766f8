// The version reply: the single key "version" (no "errorcode").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Model/SCResponse.h"

class SCVersionResponse : public SCResponse {
public:
    explicit SCVersionResponse(std::optional<std::string> version) : version(std::move(version)) {}

    static SCVersionResponse fromJsonString(std::string_view json);

    nlohmann::json jsonDict() const override;
    // The description of its jsonDict: "{\n    version = \"1.4.0\";\n}"
    std::string description() const override;

    std::optional<std::string> version;
};
