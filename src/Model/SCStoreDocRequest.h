// The body of a storedoc request: {"document": the bytes as hexadecimal text,
// "contenttype": the media type to remember for the document}.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Model/SCJsonRequest.h"
#include "Util/Bytes.h"

class SCStoreDocRequest : public SCJsonRequest {
public:
    explicit SCStoreDocRequest(std::span<const uint8_t> data) { decode(data); }
    static SCStoreDocRequest fromJsonString(std::string_view json);

    void parseJsonDictionary(const nlohmann::json& dictionary) override;
    // The document bytes (CommonUtil::dataFromHexString of "document"); nil without one.
    std::optional<ByteBuffer> getDocumentData() const;
    // "contentType: %@, documentLenght: %lu" (the length of the hexadecimal text)
    std::string description() const;

    std::optional<std::string> documentInHex;  // "document"
    std::optional<std::string> contentType;    // "contenttype"
};
