// The body of a disconnect request: {"session": the client session id of the card layer}.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Model/SCJsonRequest.h"

class SCDisconnectRequest : public SCJsonRequest {
public:
    explicit SCDisconnectRequest(std::span<const uint8_t> data) { decode(data); }
    static SCDisconnectRequest fromJsonString(std::string_view json);

    void parseJsonDictionary(const nlohmann::json& dictionary) override;
    // "session: %@"
    std::string description() const;

    std::optional<std::string> session;  // "session"
};
