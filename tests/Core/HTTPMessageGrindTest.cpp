// The request parser must give the same result however the bytes are cut: split at every
// byte boundary, cut into random pieces, and fed random damage that must never crash it.
#include "Core/HTTPMessage.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Outcome {
    bool ok = true;
    bool complete = false;
    std::string method, version, url, body;
    std::map<std::string, std::string> fields;

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome feed(const std::string& bytes, const std::vector<size_t>& cuts) {
    auto message = HTTPMessage::initEmptyRequest();
    Outcome outcome;
    size_t start = 0;
    auto pieces = cuts;
    pieces.push_back(bytes.size());
    for (size_t end : pieces) {
        if (!message->appendData(std::string_view(bytes).substr(start, end - start))) outcome.ok = false;
        start = end;
    }
    outcome.complete = message->isHeaderComplete();
    outcome.method = message->method();
    outcome.version = message->version();
    outcome.url = message->url() ? message->url()->absoluteString() : "(none)";
    outcome.body.assign(message->body().begin(), message->body().end());
    outcome.fields = message->allHeaderFields();
    return outcome;
}

const std::vector<std::string>& samples() {
    static const std::vector<std::string> requests = {
        "GET / HTTP/1.1\r\nHost: localhost:31505\r\n\r\n",
        "POST /scard/apdu/Reader%20A HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://signer.pellix.com\r\n"
        "Content-Length: 11\r\nContent-Type: application/json\r\n\r\n{\"a\":\"b\"}\r\n",
        "\r\nGET /scard/loaddoc?sessionref=1&sessionref=2 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
        "GET http://[::1]:31505/x HTTP/1.1\r\nX:\r\nA: 1\r\na: 2\r\n\r\nbody",
        "GET / HTTP/1.1\r\nK: 1\r\nK: \r\nK:\r\n\r\n",           // empty repeats round-trip
        "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",    // refused
        "GET / HTTP/1.1\r\nX: y\r\n folded\r\n\r\n",        // refused
        "GET /\r\n\r\n",                                    // refused
    };
    return requests;
}

TEST(HTTPMessageGrindTest, EverySplitPointGivesTheSameRequest) {
    for (const auto& request : samples()) {
        SCOPED_TRACE(request);
        const Outcome whole = feed(request, {});
        for (size_t i = 0; i <= request.size(); ++i) {
            ASSERT_EQ(feed(request, {i}), whole) << "split at " << i;
        }
        // Two cuts, so that a CRLF and a line can both be torn apart.
        for (size_t i = 0; i <= request.size(); i += 3) {
            for (size_t j = i; j <= request.size(); ++j) {
                ASSERT_EQ(feed(request, {i, j}), whole) << "split at " << i << " and " << j;
            }
        }
    }
}

TEST(HTTPMessageGrindTest, RandomPiecesAndRandomDamage) {
    std::mt19937 random(20261210);
    for (int round = 0; round < 3000; ++round) {
        std::string request = samples()[random() % samples().size()];
        // Damage: overwrite, insert or delete a few bytes.
        const int edits = static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !request.empty(); ++e) {
            const size_t at = random() % request.size();
            switch (random() % 3) {
                case 0: request[at] = static_cast<char>(random() % 256); break;
                case 1: request.insert(at, 1, static_cast<char>(random() % 256)); break;
                default: request.erase(at, 1); break;
            }
        }
        std::vector<size_t> cuts;
        for (size_t at = 0; at < request.size(); at += 1 + random() % 8) cuts.push_back(at);
        const Outcome whole = feed(request, {});
        ASSERT_EQ(feed(request, cuts), whole) << request;
        if (whole.complete && whole.ok) {
            // What was accepted serialises into a request that parses back to the same one.
            auto message = HTTPMessage::initEmptyRequest();
            ASSERT_TRUE(message->appendData(request));
            const auto serialised = message->messageData();
            ASSERT_EQ(feed(std::string(serialised.begin(), serialised.end()), {}), whole) << request;
        }
    }
}

}  // namespace
