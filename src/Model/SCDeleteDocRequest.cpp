#include "Model/SCDeleteDocRequest.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"

SCDeleteDocRequest SCDeleteDocRequest::fromJsonString(std::string_view json) { return SCDeleteDocRequest(scmodel::bytesOf(json)); }

void SCDeleteDocRequest::parseJsonDictionary(const nlohmann::json& dictionary) {
    sessionRef = scmodel::textValue(dictionary, "sessionref");
}

std::string SCDeleteDocRequest::description() const { return platform::format("sessionref: %@", sessionRef); }
