#include "Model/detail/JsonValues.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace scmodel {

std::optional<std::string> textValue(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<int64_t> integerValue(const nlohmann::json& value) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    if (value.is_number_unsigned()) {
        uint64_t u = value.get<uint64_t>();
        return u > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(u);
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (std::isnan(d)) return 0;
        if (d >= 9.2233720368547758e18) return kMax;
        if (d <= -9.2233720368547758e18) return kMin;
        return static_cast<int64_t>(d);  // truncates toward zero
    }
    if (value.is_string()) {
        const std::string& s = value.get_ref<const std::string&>();
        size_t i = 0;
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        bool negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
        uint64_t magnitude = 0;
        bool overflow = false;
        for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
            unsigned digit = static_cast<unsigned>(s[i] - '0');
            if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
            else magnitude = magnitude * 10 + digit;
        }
        if (negative) {
            if (overflow || magnitude > static_cast<uint64_t>(kMax) + 1) return kMin;
            return magnitude == static_cast<uint64_t>(kMax) + 1 ? kMin : -static_cast<int64_t>(magnitude);
        }
        if (overflow || magnitude > static_cast<uint64_t>(kMax)) return kMax;
        return static_cast<int64_t>(magnitude);
    }
    return std::nullopt;
}

std::optional<int64_t> integerValue(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    return integerValue(*it);
}

uint64_t unsignedFromText(const std::string& text) {
    errno = 0;
    return std::strtoull(text.c_str(), nullptr, 0);
}

std::optional<nlohmann::json> parse(std::span<const uint8_t> bytes) {
    nlohmann::json j = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string arrayDescription(const std::vector<std::string>& items) {
    std::string out = "(";
    for (size_t i = 0; i < items.size(); ++i) {
        out += "\n    " + items[i];
        if (i + 1 < items.size()) out += ",";
    }
    return out + "\n)";
}

std::string numberDescription(double value) {
    char buf[64];
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15)
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
    else
        std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

}  // namespace scmodel
