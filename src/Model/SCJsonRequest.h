// The base of the web API's request models (all but SCApduRequest): a model is made only
// from a request body, never empty-handed.
//
// Decoding: no bytes leave every field empty; bytes that are not a JSON object (not JSON, JSON
// nested deeper or holding more values than any request, an array, a bare value) log "Error
// processing request!" through the plain log call and leave every field empty; a JSON object
// is handed to parseJsonDictionary.
//
// Models are plain values used on the caller's thread (the connection queue).
#pragma once

#include <cstdint>
#include <span>

#include "Model/SCJsonRequestModel.h"

class SCJsonRequest : public SCJsonRequestModel {
public:
    ~SCJsonRequest() override = default;

    // Decodes the body into this model (see above).
    void decode(std::span<const uint8_t> data);

protected:
    SCJsonRequest() = default;
};
