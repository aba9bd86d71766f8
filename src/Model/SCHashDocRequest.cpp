#include "Model/SCHashDocRequest.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"

SCHashDocRequest SCHashDocRequest::fromJsonString(std::string_view json) { return SCHashDocRequest(scmodel::bytesOf(json)); }

void SCHashDocRequest::parseJsonDictionary(const nlohmann::json& dictionary) {
    sessionRef = scmodel::textValue(dictionary, "sessionref");
    hashAlgorithm = scmodel::textValue(dictionary, "hashalg");
}

std::string SCHashDocRequest::description() const {
    return platform::format("sessionref: %@, hashalg: %@", sessionRef, hashAlgorithm);
}
