#include "Model/SCHashDocResponse.h"

#include "Model/detail/JsonValues.h"
#include "Util/CommonUtil.h"

SCHashDocResponse SCHashDocResponse::fromJsonString(std::string_view json) { return fromData(scmodel::bytesOf(json)); }

SCHashDocResponse SCHashDocResponse::fromData(std::span<const uint8_t> data) {
    SCHashDocResponse r;
    r.decodeBase(data);
    r.documentHash = scmodel::textValue(r.parsedJsonDict, "documenthash");
    r.errorMessage = scmodel::textValue(r.parsedJsonDict, "errormessage");
    return r;
}

void SCHashDocResponse::setDocumentHashData(const ByteBuffer& data) {
    documentHashData = data;
    if (data.empty()) documentHash.reset();
    else documentHash = CommonUtil::hexStringFromData(data);
}

nlohmann::json SCHashDocResponse::jsonDict() const {
    nlohmann::json d = SCErrorResponse::jsonDict();
    if (documentHash && !documentHash->empty()) d["documenthash"] = *documentHash;
    if (errorMessage) d["errormessage"] = *errorMessage;
    return d;
}
