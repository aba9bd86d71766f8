#include "Model/SCApduResponse.h"

#include "Model/SCApduModel.h"
#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"

SCApduResponse SCApduResponse::fromJsonString(std::string_view json) {
    SCApduResponse r;
    r.decodeBase(scmodel::bytesOf(json));
    auto it = r.parsedJsonDict.find("apduresponses");
    if (it != r.parsedJsonDict.end() && it->is_array()) {
        for (const auto& element : *it) r.apduResponses.push_back(ResponseAPDU::fromDictionary(element));
    }
    return r;
}

nlohmann::json SCApduResponse::jsonDict() const {
    nlohmann::json d = SCErrorResponse::jsonDict();
    nlohmann::json replies = nlohmann::json::array();
    for (const auto& reply : apduResponses) replies.push_back(SCApduModel::fromResponseApdu(reply).jsonDict());
    d["apduresponses"] = std::move(replies);
    return d;
}

std::string SCApduResponse::description() const {
    std::vector<std::string> items;
    for (const auto& reply : apduResponses) items.push_back(reply.description());
    return platform::format("%@ %@", scmodel::arrayDescription(items), SCErrorResponse::description());
}
