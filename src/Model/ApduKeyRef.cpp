#include "Model/ApduKeyRef.h"

#include "Platform/Format.h"
#include "Util/CommonUtil.h"

ApduKeyRef::ApduKeyRef(std::uint32_t referenceNumber, ByteBuffer data)
    : referenceNumber_(referenceNumber), data_(std::move(data)) {}

ApduKeyRef ApduKeyRef::fromJsonString(std::string_view json) {
    ApduKeyRef key(0, {});
    const nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
    if (!parsed.is_object()) return key;
    if (auto ref = parsed.find("ref"); ref != parsed.end() && ref->is_number()) {
        // Taken as an unsigned 32-bit number: the low 32 bits of the integer.
        if (ref->is_number_unsigned()) key.referenceNumber_ = static_cast<std::uint32_t>(ref->get<std::uint64_t>());
        else if (ref->is_number_integer()) key.referenceNumber_ = static_cast<std::uint32_t>(ref->get<std::int64_t>());
        else {
            const double d = ref->get<double>();
            key.referenceNumber_ = d >= 0 && d < 4294967296.0 ? static_cast<std::uint32_t>(d) : 0;
        }
    }
    if (auto data = parsed.find("data"); data != parsed.end() && data->is_string())
        key.data_ = CommonUtil::dataFromHexString(std::string_view(data->get_ref<const std::string&>()));
    return key;
}

nlohmann::json ApduKeyRef::jsonDict() const {
    return nlohmann::json{{"ref", referenceNumber_}, {"data", CommonUtil::hexStringFromData(data_)}};
}

std::string ApduKeyRef::keyInHexString() const {
    return CommonUtil::hexStringFromData(CommonUtil::dataFromInt32(referenceNumber_));
}

std::string ApduKeyRef::description() const {
    return platform::format("%@ [ref:%lu, data:%@]", "ApduKeyRef", static_cast<unsigned long>(referenceNumber_),
                            Bytes::description(data_));
}
