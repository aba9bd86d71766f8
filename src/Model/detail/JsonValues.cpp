#include "Model/detail/JsonValues.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

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

namespace {

// Builds the document from the parser's events as the library's own parser would (a repeated
// key keeps its last value), but ends the parse at the first level past kMaxJsonDepth or the
// first value past kMaxJsonValues, so that such a body costs no more than the values before it.
class BoundedDocument {
public:
    using json = nlohmann::json;

    explicit BoundedDocument(json& root) : root_(root) {}

    bool null() { return add(nullptr); }
    bool boolean(bool value) { return add(value); }
    bool number_integer(json::number_integer_t value) { return add(value); }
    bool number_unsigned(json::number_unsigned_t value) { return add(value); }
    bool number_float(json::number_float_t value, const json::string_t&) { return add(value); }
    bool string(json::string_t& value) { return add(std::move(value)); }
    bool binary(json::binary_t& value) { return add(std::move(value)); }
    bool start_object(std::size_t) { return open(json::value_t::object); }
    bool key(json::string_t& key) {
        member_ = &(*open_.back())[std::move(key)];
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(json::value_t::array); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

private:
    bool add(json value) {
        if (++values_ > kMaxJsonValues) return false;
        place(std::move(value));
        return true;
    }

    bool open(json::value_t type) {
        if (open_.size() >= kMaxJsonDepth || ++values_ > kMaxJsonValues) return false;
        open_.push_back(place(json(type)));
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    // Where the value goes: the root, the end of the innermost open array, or the member of
    // the innermost open object whose key came last. A pointer into an array stays good while
    // it is open: only the innermost open array grows.
    json* place(json&& value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        json& parent = *open_.back();
        if (parent.is_array()) {
            auto& elements = parent.get_ref<json::array_t&>();
            elements.push_back(std::move(value));
            return &elements.back();
        }
        *member_ = std::move(value);
        return member_;
    }

    json& root_;
    std::vector<json*> open_;  // the arrays and objects not yet closed, outermost first
    json* member_ = nullptr;
    size_t values_ = 0;
};

}  // namespace

std::optional<nlohmann::json> parse(std::span<const uint8_t> bytes) {
    nlohmann::json document;
    BoundedDocument builder(document);
    if (!nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder)) return std::nullopt;
    return document;
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
