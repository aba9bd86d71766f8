#include "Model/SessionKeyReference.h"

#include "Platform/Format.h"
#include "Util/CommonUtil.h"

SessionKeyReference::SessionKeyReference(std::uint64_t referenceNumber, ByteBuffer data,
                                         platform::BootClock::time_point created)
    : referenceNumber_(referenceNumber),
      data_(std::move(data)),
      timestamp_(created),
      dataInHexString_(CommonUtil::hexStringFromData(data_)) {}

SessionKeyReference::SessionKeyReference(std::uint64_t referenceNumber, ByteBuffer data)
    : SessionKeyReference(referenceNumber, std::move(data), platform::BootClock::now()) {}

SessionKeyReference SessionKeyReference::fromJsonString(std::string_view json) {
    SessionKeyReference key;
    const nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
    if (!parsed.is_object()) return key;
    if (auto ref = parsed.find("ref"); ref != parsed.end() && ref->is_number()) {
        // A negative or fractional number is taken the way an unsigned conversion takes it.
        if (ref->is_number_unsigned()) key.referenceNumber_ = ref->get<std::uint64_t>();
        else if (ref->is_number_integer()) key.referenceNumber_ = static_cast<std::uint64_t>(ref->get<std::int64_t>());
        else {
            const double d = ref->get<double>();
            key.referenceNumber_ = d >= 0 && d < 18446744073709551616.0 ? static_cast<std::uint64_t>(d) : 0;
        }
    }
    if (auto data = parsed.find("data"); data != parsed.end() && data->is_string()) {
        key.dataInHexString_ = data->get<std::string>();
        key.data_ = CommonUtil::dataFromHexString(std::string_view(key.dataInHexString_));
    }
    return key;
}

bool SessionKeyReference::expired(platform::BootClock::time_point now) const {
    if (!timestamp_) return true;
    return *timestamp_ + kLifetime < now;
}

bool SessionKeyReference::expired() const { return expired(platform::BootClock::now()); }

nlohmann::json SessionKeyReference::jsonDict() const {
    return nlohmann::json{{"ref", referenceNumber_}, {"data", dataInHexString_}};
}

std::string SessionKeyReference::keyInHexString() const {
    return CommonUtil::hexStringFromData(CommonUtil::dataFromInt64(referenceNumber_));
}

std::string SessionKeyReference::description() const {
    return platform::format("%@ [ref:%lu, data:%@]", "SessionKeyReference", referenceNumber_, Bytes::description(data_));
}
