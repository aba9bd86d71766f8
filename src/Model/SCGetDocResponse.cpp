#include "Model/SCGetDocResponse.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"
#include "Util/CommonUtil.h"

SCGetDocResponse SCGetDocResponse::fromJsonString(std::string_view json) { return fromData(scmodel::bytesOf(json)); }

SCGetDocResponse SCGetDocResponse::fromData(std::span<const uint8_t> data) {
    SCGetDocResponse r;
    r.decodeBase(data);
    r.parseValues();
    return r;
}

void SCGetDocResponse::parseValues() {
    documentHash = scmodel::textValue(parsedJsonDict, "documenthash");
    errorMessage = scmodel::textValue(parsedJsonDict, "errormessage");
    if (auto ref = scmodel::textValue(parsedJsonDict, "sessionref")) sessionRef = scmodel::unsignedFromText(*ref);
}

void SCGetDocResponse::setDocumentHashData(const ByteBuffer& data) {
    documentHashData = data;
    if (data.empty()) documentHash.reset();
    else documentHash = CommonUtil::hexStringFromData(data);
}

nlohmann::json SCGetDocResponse::jsonDict() const {
    nlohmann::json d = SCErrorResponse::jsonDict();
    d["sessionref"] = platform::format("%llu", static_cast<unsigned long long>(sessionRef));
    if (documentHash && !documentHash->empty()) d["documenthash"] = *documentHash;
    if (errorMessage) d["errormessage"] = *errorMessage;
    return d;
}

std::string SCGetDocResponse::description() const {
    return platform::format("%@, sessionref: %llu, hash: %@, errorMsg: %@", SCErrorResponse::description(),
                            static_cast<unsigned long long>(sessionRef), documentHash, errorMessage);
}
