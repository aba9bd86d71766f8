#include "Model/SCDisconnectRequest.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"

SCDisconnectRequest SCDisconnectRequest::fromJsonString(std::string_view json) { return SCDisconnectRequest(scmodel::bytesOf(json)); }

void SCDisconnectRequest::parseJsonDictionary(const nlohmann::json& dictionary) {
    session = scmodel::textValue(dictionary, "session");
}

std::string SCDisconnectRequest::description() const { return platform::format("session: %@", session); }
