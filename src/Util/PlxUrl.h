// The program's URL helpers for the gate: is a request addressed to this host, and the value
// of one query parameter. Plain functions over platform::Url; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/Url/Url.h"

namespace PlxUrl {

// True when the URL's host is "127.0.0.1" or "localhost", ignoring case; a URL without a host
// counts as local. The IPv6 loopback is not local by this rule.
bool isLocalHost(const platform::Url& url);

// The value of the query parameter name: the query text (still percent-encoded) split at
// every "&", each piece at "="; only pieces of exactly two parts count; a later pair of the
// same name wins; nothing is percent-decoded. std::nullopt when absent or without a query.
std::optional<std::string> valueForQuery(const platform::Url& url, std::string_view name);

}  // namespace PlxUrl
