// The body of a hashdoc request: {"sessionref": decimal text, "hashalg": a digest name}.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Model/SCJsonRequest.h"

class SCHashDocRequest : public SCJsonRequest {
public:
    explicit SCHashDocRequest(std::span<const uint8_t> data) { decode(data); }
    static SCHashDocRequest fromJsonString(std::string_view json);

    void parseJsonDictionary(const nlohmann::json& dictionary) override;
    // "sessionref: %@, hashalg: %@"
    std::string description() const;

    std::optional<std::string> sessionRef;     // "sessionref"
    std::optional<std::string> hashAlgorithm;  // "hashalg"
};
