// The "Origin" header of an API request, as the gate tests it: only pages of the allowed web
// origins (an https origin whose host begins with a fixed label and ends with the allowed
// domain suffix) may use the API. A plain value; any thread.
#pragma once

#include <optional>
#include <string>

class OriginModel {
public:
    // The compiled-in origin rules: a prefix of 15 characters ("https://" with one host label
    // and its dot) and a suffix of 11 characters (a dot and a two-label domain).
    static const std::string& allowedPrefix();
    static const std::string& allowedSuffix();

    // header: the "Origin" field as received, or std::nullopt when the request has none.
    explicit OriginModel(const std::optional<std::string>& header);

    // The header in lower case; nullopt when absent.
    const std::optional<std::string>& value() const { return value_; }

    // True when the lower-cased value begins with the allowed prefix and ends with the allowed
    // suffix; so an origin with a port or a path fails, and one written in capitals passes.
    bool isValid() const;

private:
    std::optional<std::string> value_;
};
