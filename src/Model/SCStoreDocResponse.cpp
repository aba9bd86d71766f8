#include "Model/SCStoreDocResponse.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"

SCStoreDocResponse SCStoreDocResponse::fromJsonString(std::string_view json) {
    SCStoreDocResponse r;
    r.decodeBase(scmodel::bytesOf(json));
    if (auto ref = scmodel::textValue(r.parsedJsonDict, "sessionref")) r.sessionRef = scmodel::unsignedFromText(*ref);
    r.errorMessage = scmodel::textValue(r.parsedJsonDict, "errormessage");
    return r;
}

nlohmann::json SCStoreDocResponse::jsonDict() const {
    nlohmann::json d = SCErrorResponse::jsonDict();
    d["sessionref"] = platform::format("%llu", static_cast<unsigned long long>(sessionRef));
    if (errorMessage) d["errormessage"] = *errorMessage;
    return d;
}

std::string SCStoreDocResponse::description() const {
    return platform::format("%@, sessionref: %llu, errorMsg: %@", SCErrorResponse::description(),
                            static_cast<unsigned long long>(sessionRef), errorMessage);
}
