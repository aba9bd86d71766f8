// libFuzzer target for the request parser: any bytes, fed whole, line by line as the connection
// does, and in small pieces, must give one and the same result, never read or write out of
// bounds, and a request that was accepted must serialise into one that parses back the same.
// The URL, number and range readers get the raw bytes too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "Core/Categories/LxNumber.h"
#include "Core/Categories/LxRange.h"
#include "Core/HTTPMessage.h"
#include "Platform/Url/Url.h"

namespace {

struct Outcome {
    bool ok = true;
    bool complete = false;
    std::string method, version, url, body;
    std::map<std::string, std::string> fields;

    bool operator==(const Outcome&) const = default;
};

Outcome outcomeOf(HTTPMessage& message, bool ok) {
    Outcome outcome;
    outcome.ok = ok;
    outcome.complete = message.isHeaderComplete();
    outcome.method = message.method();
    outcome.version = message.version();
    if (const auto url = message.url()) {
        outcome.url = url->absoluteString();
        // Walk every piece the API reads.
        for (const auto& component : url->pathComponents()) outcome.url += "|" + component;
        if (url->query()) outcome.url += "?" + *url->query();
        if (url->host()) outcome.url += "@" + *url->host();
    }
    outcome.body.assign(message.body().begin(), message.body().end());
    outcome.fields = message.allHeaderFields();
    return outcome;
}

Outcome feedWhole(std::string_view input) {
    auto message = HTTPMessage::initEmptyRequest();
    const bool ok = message->appendData(input);
    return outcomeOf(*message, ok);
}

Outcome feedLines(std::string_view input) {
    auto message = HTTPMessage::initEmptyRequest();
    bool ok = true;
    size_t start = 0;
    while (start < input.size()) {
        auto end = input.find("\r\n", start);
        end = end == std::string_view::npos ? input.size() : end + 2;
        ok = message->appendData(input.substr(start, end - start)) && ok;
        start = end;
    }
    return outcomeOf(*message, ok);
}

Outcome feedPieces(std::string_view input, size_t step) {
    auto message = HTTPMessage::initEmptyRequest();
    bool ok = true;
    for (size_t start = 0; start < input.size(); start += step) {
        ok = message->appendData(input.substr(start, step)) && ok;
    }
    return outcomeOf(*message, ok);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const Outcome whole = feedWhole(input);
    if (!(feedLines(input) == whole)) std::abort();
    if (!(feedPieces(input, 1 + size % 7) == whole)) std::abort();

    if (whole.ok && whole.complete) {
        auto message = HTTPMessage::initEmptyRequest();
        message->appendData(input);
        (void)message->headerField("Host");
        const auto serialised = message->messageData();
        const std::string again(serialised.begin(), serialised.end());
        if (!(feedWhole(again) == whole)) std::abort();
    }

    if (const auto url = platform::Url::parse(input)) {
        (void)url->pathComponents();
        (void)url->absoluteUrl();
    }
    uint64_t number = 0;
    LxNumber::parseStringIntoUInt64(input, &number);
    (void)LxRangeFromString(input);
    return 0;
}
