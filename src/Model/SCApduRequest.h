// The body of an apdu request: {"apducommands": [{"apdu": text}, ...], "session": the client
// session id, "timeout": seconds}.
//
// Decoding: no bytes leave every field empty; bytes that are not a JSON object (also JSON
// nested deeper or holding more values than any request) log "Error processing request!" and
// leave every field empty, timeout included (0, not 300). From an object: one SCApduModel
// per element of "apducommands", in order (an element that is no object or has no "apdu"
// text gives a model without text, so that replies stay in step with commands); "timeout" is
// 300 when absent or of no usable type, else its integer value (a fraction is dropped, a text
// of digits gives its number).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Model/SCApduModel.h"

class SCApduRequest {
public:
    explicit SCApduRequest(std::span<const uint8_t> data) { deserialise(data); }
    static SCApduRequest fromJsonString(std::string_view json);
    static SCApduRequest fromDictionary(const nlohmann::json& dictionary);

    // "apducommands: %@, session: %@, timeout: %@"
    std::string description() const;

    std::optional<nlohmann::json> apduCommands;  // the array as received
    std::vector<SCApduModel> requestAPDUs;
    std::optional<std::string> session;
    double timeout = 0;  // seconds

private:
    SCApduRequest() = default;
    void deserialise(std::span<const uint8_t> data);
    void parseJsonObj(const nlohmann::json& dictionary);
};
