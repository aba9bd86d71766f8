// The body of a getdoc request: {"url", "cookie", "key" (hexadecimal text of the document
// key), "keyalg" ("AES" or "3DES"), "hashalg" (a digest name)}, and the parameter check the
// getdoc operation runs first.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Model/SCGetDocResponse.h"
#include "Model/SCJsonRequest.h"

class SCGetDocRequest : public SCJsonRequest {
public:
    explicit SCGetDocRequest(std::span<const uint8_t> data);
    static SCGetDocRequest fromJsonString(std::string_view json);

    void parseJsonDictionary(const nlohmann::json& dictionary) override;

    // The refusal (500, a message, "sessionref" "0"), or nothing when the request may go on.
    // The first failing check answers: no "url"; with a "key", no "keyalg" or one that is
    // neither AES nor 3DES ignoring case; a "hashalg" that is no digest name (logged, and the
    // request's hash algorithm cleared).
    std::optional<SCGetDocResponse> checkParameters();
    // "hashalg" equals one of hashAlgorithms, ignoring case.
    bool isValidHashAlgorithm() const;

    // "url: %@, cookie: %@, key: %@, keyalg: %@, hashalg: %@"
    std::string description() const;

    std::optional<std::string> url;            // "url"
    std::optional<std::string> cookie;         // "cookie"
    std::optional<std::string> key;            // "key"
    std::optional<std::string> keyAlgorithm;   // "keyalg"
    std::optional<std::string> hashAlgorithm;  // "hashalg"
    std::vector<std::string> hashAlgorithms;   // "SHA1", "SHA2", "SHA256", "SHA384", "SHA512"
};
