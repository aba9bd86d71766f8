#include "Model/SCApduModel.h"

#include <cctype>
#include <string_view>

#include "Model/detail/JsonValues.h"

SCApduModel SCApduModel::fromDictionary(const nlohmann::json& dictionary) {
    return SCApduModel(scmodel::textValue(dictionary, "apdu"));
}

SCApduModel SCApduModel::fromResponseApdu(const ResponseAPDU& reply) { return SCApduModel(reply.hexStringWithStatusCode()); }

bool SCApduModel::isPinProtected() const {
    if (!apdu) return false;
    auto startsWith = [&](std::string_view prefix) {
        if (apdu->size() < prefix.size()) return false;
        for (size_t i = 0; i < prefix.size(); ++i) {
            if (std::toupper(static_cast<unsigned char>((*apdu)[i])) != prefix[i]) return false;
        }
        return true;
    };
    return startsWith("FF FF") || startsWith("FFFF");
}

nlohmann::json SCApduModel::jsonDict() const {
    nlohmann::json d = nlohmann::json::object();
    d["apdu"] = apdu ? nlohmann::json(*apdu) : nlohmann::json(nullptr);
    return d;
}

std::string SCApduModel::description() const { return apdu.value_or("(null)"); }
