#include "Model/SCApduRequest.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"
#include "Platform/PlainLog.h"

SCApduRequest SCApduRequest::fromJsonString(std::string_view json) { return SCApduRequest(scmodel::bytesOf(json)); }

SCApduRequest SCApduRequest::fromDictionary(const nlohmann::json& dictionary) {
    SCApduRequest r;
    if (dictionary.is_object()) r.parseJsonObj(dictionary);
    return r;
}

void SCApduRequest::deserialise(std::span<const uint8_t> data) {
    if (data.empty()) return;
    auto object = scmodel::parse(data);
    if (!object || !object->is_object()) {
        platform::plainLog("Error processing request!");
        return;
    }
    parseJsonObj(*object);
}

void SCApduRequest::parseJsonObj(const nlohmann::json& dictionary) {
    auto commands = dictionary.find("apducommands");
    if (commands != dictionary.end() && commands->is_array()) {
        apduCommands = *commands;
        for (const auto& element : *commands) requestAPDUs.push_back(SCApduModel::fromDictionary(element));
    }
    session = scmodel::textValue(dictionary, "session");
    timeout = static_cast<double>(scmodel::integerValue(dictionary, "timeout").value_or(300));
}

std::string SCApduRequest::description() const {
    std::vector<std::string> items;
    for (const auto& m : requestAPDUs) items.push_back(m.description());
    return platform::format("apducommands: %@, session: %@, timeout: %@", scmodel::arrayDescription(items), session,
                            scmodel::numberDescription(timeout));
}
