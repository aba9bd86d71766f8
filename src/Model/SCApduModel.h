// One APDU as hexadecimal text: a command taken from a request ({"apdu": text}) or a card
// reply put into a response.
#pragma once

#include <optional>
#include <string>

#include "Model/SCResponse.h"
#include "SmartCard/ResponseAPDU.h"

class SCApduModel : public SCResponse {
public:
    explicit SCApduModel(std::optional<std::string> apdu) : apdu(std::move(apdu)) {}
    // The object's "apdu" text; no text (not an object, no "apdu", not a text) gives none.
    static SCApduModel fromDictionary(const nlohmann::json& dictionary);
    // The reply's hexStringWithStatusCode.
    static SCApduModel fromResponseApdu(const ResponseAPDU& reply);

    // The text begins with "FF FF" or "FFFF", letters in either case; only at the very start.
    bool isPinProtected() const;

    // {"apdu": text}; null when there is no text.
    nlohmann::json jsonDict() const override;
    // The APDU text.
    std::string description() const override;

    std::optional<std::string> apdu;
};
