#include "Model/SCGetRefResponse.h"

#include "Platform/Format.h"

nlohmann::json SCGetRefResponse::jsonDict() const {
    nlohmann::json d = nlohmann::json::object();
    d["ref"] = ref;
    d["data"] = Bytes::description(data);
    return d;
}

std::string SCGetRefResponse::description() const {
    return platform::format("ref: %li, data: %@", static_cast<long>(ref), Bytes::description(data));
}
