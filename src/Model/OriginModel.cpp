#include "Model/OriginModel.h"

#include <cctype>
#include <string_view>

#ifndef PELLIX_ORIGIN_PREFIX
#define PELLIX_ORIGIN_PREFIX "https://signer."
#endif
#ifndef PELLIX_ORIGIN_SUFFIX
#define PELLIX_ORIGIN_SUFFIX ".pellix.com"
#endif

const std::string& OriginModel::allowedPrefix() {
    static const std::string prefix = PELLIX_ORIGIN_PREFIX;
    return prefix;
}

const std::string& OriginModel::allowedSuffix() {
    static const std::string suffix = PELLIX_ORIGIN_SUFFIX;
    return suffix;
}

OriginModel::OriginModel(const std::optional<std::string>& header) {
    if (!header) return;
    std::string lower = *header;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    value_ = std::move(lower);
}

bool OriginModel::isValid() const {
    if (!value_) return false;
    std::string_view v = *value_;
    return v.starts_with(allowedPrefix()) && v.ends_with(allowedSuffix());
}
