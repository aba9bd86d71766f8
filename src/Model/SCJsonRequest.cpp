#include "Model/SCJsonRequest.h"

#include "Model/detail/JsonValues.h"
#include "Platform/PlainLog.h"

void SCJsonRequest::decode(std::span<const uint8_t> data) {
    if (data.empty()) return;
    auto object = scmodel::parse(data);
    if (!object || !object->is_object()) {
        platform::plainLog("Error processing request!");
        return;
    }
    parseJsonDictionary(*object);
}
