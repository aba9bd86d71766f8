// Drives the API responder from a method, a path and a body, as the connection would, and
// reads its reply back as JSON.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Core/HTTPMessage.h"
#include "Platform/Url/Url.h"
#include "PlxHttp/HttpScardResponse.h"

namespace webapi_test {

inline std::shared_ptr<HttpScardResponse> call(const std::string& method, const std::string& path, const std::string& body = "") {
    auto url = platform::Url::parse("https://localhost:31505" + path);
    EXPECT_TRUE(url) << path;
    auto request = HTTPMessage::initRequestWithMethod(method, *url, "HTTP/1.1");
    request->setBody(HTTPMessage::Bytes(body.begin(), body.end()));
    return std::make_shared<HttpScardResponse>(*url, request);
}

inline std::string bodyText(HTTPDataResponse& response) {
    auto data = response.data();
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// The reply parsed; a test failure (and null) when it is not JSON.
inline nlohmann::json bodyJson(HTTPDataResponse& response) {
    auto parsed = nlohmann::json::parse(bodyText(response), nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << bodyText(response);
    return parsed.is_discarded() ? nlohmann::json() : parsed;
}

inline nlohmann::json post(const std::string& path, const std::string& body = "") {
    auto r = call("POST", path, body);
    EXPECT_EQ(r->httpHeaders().at("Content-Type"), "application/json; charset=UTF-8");
    EXPECT_EQ(r->status(), 200);
    return bodyJson(*r);
}

}  // namespace webapi_test
