// The body of a deletedoc request: {"sessionref": the document reference as decimal text}.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Model/SCJsonRequest.h"

class SCDeleteDocRequest : public SCJsonRequest {
public:
    explicit SCDeleteDocRequest(std::span<const uint8_t> data) { decode(data); }
    static SCDeleteDocRequest fromJsonString(std::string_view json);

    void parseJsonDictionary(const nlohmann::json& dictionary) override;
    // "sessionref: %@"
    std::string description() const;

    std::optional<std::string> sessionRef;  // "sessionref"
};
