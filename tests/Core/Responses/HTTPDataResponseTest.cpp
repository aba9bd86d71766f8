#include "Core/Responses/HTTPDataResponse.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Core/Responses/HTTPErrorResponse.h"
#include "Core/Responses/HTTPRedirectResponse.h"

namespace {

std::shared_ptr<const HTTPDataResponse::Buffer> bytes(const std::string& text) {
    return std::make_shared<const HTTPDataResponse::Buffer>(text.begin(), text.end());
}

const std::string kBody = "abcdefghijklmnopqrstuvwxy";  // 25 bytes

TEST(HTTPDataResponseTest, ServesTheBodyPieceByPieceAtItsOffset) {
    const auto body = bytes(kBody);
    HTTPDataResponse response(body);
    EXPECT_EQ(response.contentLength(), 25u);
    const char* expected[] = {"abcdefghij", "klmnopqrst", "uvwxy"};
    for (const char* piece : expected) {
        EXPECT_FALSE(response.isDone());
        const auto slice = response.readDataOfLength(10);
        EXPECT_EQ(slice.view(), piece);
        EXPECT_EQ(slice.buffer(), body);  // shares the buffer, no copy
    }
    EXPECT_TRUE(response.isDone());
    EXPECT_EQ(response.offset(), 25u);
    EXPECT_TRUE(response.readDataOfLength(10).empty());

    response.setOffset(20);
    EXPECT_FALSE(response.isDone());
    EXPECT_EQ(response.readDataOfLength(524288).view(), "uvwxy");
    EXPECT_TRUE(response.isDone());
}

TEST(HTTPDataResponseTest, OffsetBeyondTheEndGivesNothingAndIsDone) {
    HTTPDataResponse response(bytes(kBody));
    response.setOffset(1000);
    EXPECT_TRUE(response.readDataOfLength(10).empty());
    EXPECT_EQ(response.offset(), 1000u);
    EXPECT_TRUE(response.isDone());

    HTTPDataResponse empty(nullptr);
    EXPECT_EQ(empty.contentLength(), 0u);
    EXPECT_TRUE(empty.isDone());
    EXPECT_TRUE(empty.readDataOfLength(10).empty());
}

TEST(HTTPDataResponseTest, ReplacingTheBodyLeavesQueuedSlicesIntact) {
    HTTPDataResponse response(bytes(kBody));
    const auto queued = response.readDataOfLength(5);
    response.setData(HTTPDataResponse::Buffer{'z'});
    EXPECT_EQ(queued.view(), "abcde");
    EXPECT_EQ(response.contentLength(), 1u);
}

// A subclass that serves its body through its own accessor, as the API's responses may.
class AccessorResponse : public HTTPDataResponse {
public:
    AccessorResponse() : HTTPDataResponse(nullptr) {}
    std::shared_ptr<const Buffer> data() const override { return own_; }
    unsigned implementedOperations() const override { return kHttpHeaders; }
    std::map<std::string, std::string> httpHeaders() override { return {{"Content-Type", "text/plain"}}; }

private:
    std::shared_ptr<const Buffer> own_ = bytes("own body");
};

TEST(HTTPDataResponseTest, LengthAndReadsGoThroughTheDataAccessor) {
    AccessorResponse response;
    EXPECT_EQ(response.contentLength(), 8u);
    EXPECT_EQ(response.readDataOfLength(100).view(), "own body");
    EXPECT_TRUE(response.isDone());
    EXPECT_TRUE(response.implements(HTTPResponse::kHttpHeaders));
    EXPECT_FALSE(response.implements(HTTPResponse::kStatus));
    EXPECT_EQ(response.status(), 200);  // the default of a response without a status
}

TEST(HTTPDataResponseTest, OptionalOperationsHaveTheConnectionsDefaults) {
    HTTPDataResponse response(bytes(kBody));
    EXPECT_EQ(response.implementedOperations(), HTTPResponse::kNone);
    EXPECT_EQ(response.status(), 200);
    EXPECT_FALSE(response.isChunked());
    EXPECT_FALSE(response.delayResponseHeaders());
    EXPECT_TRUE(response.httpHeaders().empty());
    response.connectionDidClose();
}

TEST(HTTPDataResponseTest, FixedResponsesCarryOnlyTheirHeader) {
    HTTPErrorResponse error(418);
    HTTPRedirectResponse redirect("/elsewhere?x=1");
    HTTPResponse* responses[] = {&error, &redirect};
    for (auto* response : responses) {
        EXPECT_EQ(response->contentLength(), 0u);
        response->setOffset(10);
        EXPECT_EQ(response->offset(), 0u);
        EXPECT_TRUE(response->readDataOfLength(10).empty());
        EXPECT_TRUE(response->isDone());
        EXPECT_FALSE(response->isChunked());
        EXPECT_TRUE(response->implements(HTTPResponse::kStatus));
    }
    EXPECT_EQ(error.status(), 418);
    EXPECT_TRUE(error.httpHeaders().empty());
    EXPECT_EQ(redirect.status(), 302);
    EXPECT_EQ(redirect.httpHeaders(), (std::map<std::string, std::string>{{"Location", "/elsewhere?x=1"}}));
}

}  // namespace
