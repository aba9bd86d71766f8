#include "Core/HTTPConnection.h"

#include <gtest/gtest.h>

#include "Core/HTTPServerTestSupport.h"

namespace {

using namespace server_test;

class HTTPConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(f.start()) << f.error.describe(); }
    ServerFixture f;
};

TEST_F(HTTPConnectionTest, AnswersGetAndKeepsHttp11ConnectionOpen) {
    Client c(f.port);
    ASSERT_TRUE(c.connected());
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(c.send("GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        auto r = c.readReply();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(r->body, "hello");
        EXPECT_EQ(r->header("content-length"), "5");
        EXPECT_EQ(r->header("accept-ranges"), "bytes");
        EXPECT_TRUE(r->has("date"));
    }
}

}  // namespace
