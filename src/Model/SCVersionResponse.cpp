#include "Model/SCVersionResponse.h"

#include "Model/detail/JsonValues.h"

SCVersionResponse SCVersionResponse::fromJsonString(std::string_view json) {
    auto parsed = scmodel::parse(scmodel::bytesOf(json));
    return SCVersionResponse(parsed ? scmodel::textValue(*parsed, "version") : std::nullopt);
}

nlohmann::json SCVersionResponse::jsonDict() const {
    nlohmann::json d = nlohmann::json::object();
    if (version) d["version"] = *version;
    return d;
}

std::string SCVersionResponse::description() const {
    if (!version) return "{\n}";
    return "{\n    version = \"" + *version + "\";\n}";
}
