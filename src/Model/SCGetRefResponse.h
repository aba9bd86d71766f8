// A masking-key reply model: "ref" (a JSON integer) and "data" (the bytes' textual
// description). The running system answers getref with the key's own JSON form instead and
// never uses this model.
#pragma once

#include <cstdint>
#include <string>

#include "Model/SCResponse.h"
#include "Util/Bytes.h"

class SCGetRefResponse : public SCResponse {
public:
    SCGetRefResponse(int64_t ref, ByteBuffer data) : ref(ref), data(std::move(data)) {}

    nlohmann::json jsonDict() const override;
    // "ref: %li, data: %@"
    std::string description() const override;

    int64_t ref = 0;
    ByteBuffer data;
};
