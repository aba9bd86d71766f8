#include "Model/SCStoreDocRequest.h"

#include "Model/detail/JsonValues.h"
#include "Platform/Format.h"
#include "Util/CommonUtil.h"

SCStoreDocRequest SCStoreDocRequest::fromJsonString(std::string_view json) { return SCStoreDocRequest(scmodel::bytesOf(json)); }

void SCStoreDocRequest::parseJsonDictionary(const nlohmann::json& dictionary) {
    documentInHex = scmodel::textValue(dictionary, "document");
    contentType = scmodel::textValue(dictionary, "contenttype");
}

std::optional<ByteBuffer> SCStoreDocRequest::getDocumentData() const { return CommonUtil::dataFromHexString(documentInHex); }

std::string SCStoreDocRequest::description() const {
    return platform::format("contentType: %@, documentLenght: %lu", contentType,
                            static_cast<unsigned long>(documentInHex ? documentInHex->size() : 0));
}
