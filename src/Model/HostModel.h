// The "Host" header of a request, as the gate tests it: only requests addressed to the local
// host pass. A plain value; any thread.
#pragma once

#include <optional>
#include <string>

class HostModel {
public:
    // header: the "Host" field as received, or std::nullopt when the request has none.
    explicit HostModel(const std::optional<std::string>& header);

    // The header with white space and line ends trimmed from both ends; nullopt when absent.
    const std::optional<std::string>& value() const { return value_; }

    // True when the trimmed value is, or begins with, "localhost" or "127.0.0.1"
    // (case-sensitive), so a port after a colon passes; an absent header fails.
    bool isValid() const;

    // The value, as a "%@" shows it ("(null)" when absent).
    std::string description() const { return value_.value_or("(null)"); }

private:
    std::optional<std::string> value_;
};
