// The getdoc reply: the base codes, "sessionref" (always, as the decimal text of the
// reference, "0" when unset), then "documenthash" and "errormessage" when set.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Model/SCErrorResponse.h"
#include "Util/Bytes.h"

class SCGetDocResponse : public SCErrorResponse {
public:
    SCGetDocResponse() = default;
    SCGetDocResponse(uint64_t sessionRef, int64_t errorCode, int64_t errorDetail)
        : SCErrorResponse(errorCode, errorDetail), sessionRef(sessionRef) {}

    static SCGetDocResponse fromJsonString(std::string_view json);
    static SCGetDocResponse fromData(std::span<const uint8_t> data);

    // Keeps the digest and sets documentHash to its upper-case hexadecimal text; empty bytes
    // leave documentHash empty, so that "documenthash" is not written.
    void setDocumentHashData(const ByteBuffer& data);

    nlohmann::json jsonDict() const override;
    // "%@, sessionref: %llu, hash: %@, errorMsg: %@"
    std::string description() const override;

    uint64_t sessionRef = 0;
    std::optional<std::string> documentHash;
    ByteBuffer documentHashData;
    std::optional<std::string> errorMessage;

private:
    void parseValues();
};
