#include "Model/SCErrorResponse.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"

SCErrorResponse SCErrorResponse::fromJsonString(std::string_view json) { return fromData(scmodel::bytesOf(json)); }

SCErrorResponse SCErrorResponse::fromData(std::span<const uint8_t> data) {
    SCErrorResponse r;
    r.decodeBase(data);
    return r;
}

void SCErrorResponse::decodeBase(std::span<const uint8_t> data) {
    auto parsed = scmodel::parse(data);
    parsedJsonDict = parsed && parsed->is_object() ? std::move(*parsed) : nlohmann::json::object();
    errorCode = scmodel::integerValue(parsedJsonDict, "errorcode").value_or(0);
    errorDetail = scmodel::integerValue(parsedJsonDict, "errordetail").value_or(0);
}

nlohmann::json SCErrorResponse::jsonDict() const {
    nlohmann::json d = nlohmann::json::object();
    d["errorcode"] = errorCode;
    d["errordetail"] = errorDetail;
    return d;
}

std::string SCErrorResponse::description() const {
    return platform::format("errorCode: %li, errroDetail: %li", static_cast<long>(errorCode), static_cast<long>(errorDetail));
}
