#include "Util/PlxUrl.h"

#include <strings.h>

#include <vector>

namespace PlxUrl {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

}  // namespace

bool isLocalHost(const platform::Url& url) {
    const auto& host = url.host();
    if (!host) return true;
    return strcasecmp(host->c_str(), "127.0.0.1") == 0 || strcasecmp(host->c_str(), "localhost") == 0;
}

std::optional<std::string> valueForQuery(const platform::Url& url, std::string_view name) {
    const auto& query = url.query();
    if (!query) return std::nullopt;
    std::optional<std::string> value;
    for (std::string_view piece : split(*query, '&')) {
        std::vector<std::string_view> pair = split(piece, '=');
        if (pair.size() != 2) continue;
        if (pair[0] == name) value = std::string(pair[1]);
    }
    return value;
}

}  // namespace PlxUrl
