#include "Model/HostModel.h"

#include <string_view>

namespace {

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isTrimmed(text[begin])) ++begin;
    while (end > begin && isTrimmed(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

HostModel::HostModel(const std::optional<std::string>& header) {
    if (header) value_ = trim(*header);
}

bool HostModel::isValid() const {
    if (!value_) return false;
    std::string_view v = *value_;
    return v.starts_with("localhost") || v.starts_with("127.0.0.1");
}
