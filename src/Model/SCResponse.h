// The operation that turns a response model of the web API into a JSON object, which the API
// responder encodes as the reply body.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

class SCResponse {
public:
    virtual ~SCResponse() = default;
    // A JSON object of JSON-ready values.
    virtual nlohmann::json jsonDict() const = 0;
    // The model's textual description (used only when a model is formatted into text).
    virtual std::string description() const = 0;
};
