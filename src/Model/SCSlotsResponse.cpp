#include "Model/SCSlotsResponse.h"

#include "Model/detail/JsonValues.h"

SCSlotsResponse SCSlotsResponse::fromJsonString(std::string_view json) {
    SCSlotsResponse r;
    r.decodeBase(scmodel::bytesOf(json));
    auto it = r.parsedJsonDict.find("readers");
    if (it != r.parsedJsonDict.end()) r.readers = *it;
    return r;
}

nlohmann::json SCSlotsResponse::jsonDict() const {
    nlohmann::json d = SCErrorResponse::jsonDict();
    nlohmann::json list = nlohmann::json::array();
    for (const auto& slot : slots) {
        if (!slot) continue;
        if (auto entry = slot->jsonDict()) list.push_back(std::move(*entry));
    }
    d["readers"] = std::move(list);
    return d;
}
