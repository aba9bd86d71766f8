#include "Model/SCReaderStatusResponse.h"

#include "Model/detail/JsonValues.h"

SCReaderStatusResponse SCReaderStatusResponse::fromJsonString(std::string_view json) {
    SCReaderStatusResponse r;
    r.decodeBase(scmodel::bytesOf(json));
    return r;
}

nlohmann::json SCReaderStatusResponse::jsonDict() const {
    nlohmann::json d = SCErrorResponse::jsonDict();
    d["cardstatus"] = cardStatus;
    return d;
}
