// The operation that fills a request model of the web API from a decoded JSON object.
//
// Request models keep the values of the keys they know, as received: no key is required,
// unknown keys are ignored. A value of another JSON type than the key's field counts as
// absent (a number where a text is expected, an "apducommands" that is not an array, and so
// on): the operations then answer as for a missing key. Checks of values belong to the
// operations.
#pragma once

#include <nlohmann/json.hpp>

class SCJsonRequestModel {
public:
    virtual ~SCJsonRequestModel() = default;
    // `dictionary` is a JSON object.
    virtual void parseJsonDictionary(const nlohmann::json& dictionary) = 0;
};
