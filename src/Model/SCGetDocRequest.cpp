#include "Model/SCGetDocRequest.h"

#include <strings.h>

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"
#include "Platform/PlainLog.h"

namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0 && a.find('\0') == std::string::npos; }

SCGetDocResponse refusal(const char* message) {
    SCGetDocResponse r(0, 500, 0);
    r.errorMessage = message;
    return r;
}

}  // namespace

SCGetDocRequest::SCGetDocRequest(std::span<const uint8_t> data) {
    decode(data);
    hashAlgorithms = {"SHA1", "SHA2", "SHA256", "SHA384", "SHA512"};
}

SCGetDocRequest SCGetDocRequest::fromJsonString(std::string_view json) { return SCGetDocRequest(scmodel::bytesOf(json)); }

void SCGetDocRequest::parseJsonDictionary(const nlohmann::json& dictionary) {
    url = scmodel::textValue(dictionary, "url");
    cookie = scmodel::textValue(dictionary, "cookie");
    key = scmodel::textValue(dictionary, "key");
    keyAlgorithm = scmodel::textValue(dictionary, "keyalg");
    hashAlgorithm = scmodel::textValue(dictionary, "hashalg");
}

bool SCGetDocRequest::isValidHashAlgorithm() const {
    if (!hashAlgorithm) return false;
    for (const auto& name : hashAlgorithms) {
        if (equalsIgnoringCase(*hashAlgorithm, name.c_str())) return true;
    }
    return false;
}

std::optional<SCGetDocResponse> SCGetDocRequest::checkParameters() {
    if (!url) return refusal("Missing document URL");
    if (key) {
        if (!keyAlgorithm) return refusal("Missing key algorithm parameter");
        if (!equalsIgnoringCase(*keyAlgorithm, "AES") && !equalsIgnoringCase(*keyAlgorithm, "3DES"))
            return refusal("Invalid key algorithm parameter");
    }
    if (hashAlgorithm && !isValidHashAlgorithm()) {
        platform::plainLog("Not a valid hash algorithm %@, will be set to nil.", hashAlgorithm);
        hashAlgorithm.reset();
        return refusal("Invalid hash algorithm parameter");
    }
    return std::nullopt;
}

std::string SCGetDocRequest::description() const {
    return platform::format("url: %@, cookie: %@, key: %@, keyalg: %@, hashalg: %@", url, cookie, key, keyAlgorithm, hashAlgorithm);
}
