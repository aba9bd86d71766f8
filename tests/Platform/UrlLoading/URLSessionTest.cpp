#include "Platform/UrlLoading/URLSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>

#include "Platform/UrlLoading/LoopbackHttpServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pellix_test::CannedReply;
using pellix_test::LoopbackHttpServer;
using pellix_test::RecordedRequest;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;

struct Result {
    std::optional<std::vector<uint8_t>> data;
    std::optional<platform::URLResponse> response;
    std::optional<platform::Error> error;
    std::thread::id thread;
};

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/pellix-urlsession-test-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
        store_ = std::make_shared<platform::HTTPCookieStorage>(dir_ + "/Cookies.txt");
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result get(const std::string& url, URLSessionConfiguration config = {}) {
        if (!config.cookieStorage) config.cookieStorage = store_;
        auto request = URLRequest::make(url);
        EXPECT_TRUE(request) << url;
        auto promise = std::make_shared<std::promise<Result>>();
        auto future = promise->get_future();
        URLSession::create(config)->download(*request, [promise](auto data, auto response, auto error) {
            promise->set_value(Result{std::move(data), std::move(response), std::move(error), std::this_thread::get_id()});
        });
        EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
        return future.get();
    }

    std::string dir_;
    std::shared_ptr<platform::HTTPCookieStorage> store_;
};

TEST(URLRequest, AcceptsOnlyAbsoluteHttpAndHttps) {
    struct Case { const char* text; bool ok; const char* host; };
    constexpr Case cases[] = {
        {"http://127.0.0.1:8080/a?b=1", true, "127.0.0.1"},
        {"HTTPS://Example.com/doc.pdf", true, "example.com"},
        {"https://[::1]:9/x", true, "::1"},
        {"ftp://example.com/x", false, ""},
        {"file:///etc/passwd", false, ""},
        {"example.com/x", false, ""},
        {"", false, ""},
        {"http://", false, ""},
        {"http://exa mple.com/", false, ""},
        {"http://example.com/\r\nX: 1", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto r = URLRequest::make(c.text);
        ASSERT_EQ(r.has_value(), c.ok);
        if (r) {
            EXPECT_EQ(r->host(), c.host);
        }
    }
}

TEST_F(URLSessionTest, DownloadsBodyAndMediaTypeOnALoaderThread) {
    LoopbackHttpServer server(false, [](const RecordedRequest&) {
        return CannedReply{200, "Application/PDF; charset=binary", std::string("\0%PDF", 5), {}, false};
    });
    Result r = get(server.baseUrl() + "/doc.pdf");
    ASSERT_FALSE(r.error) << r.error->describe();
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0, '%', 'P', 'D', 'F'}));
    EXPECT_EQ(r.response->mimeType, "application/pdf");
    EXPECT_EQ(r.response->statusCode, 200);
    EXPECT_NE(r.thread, std::this_thread::get_id());
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_EQ(server.requests()[0].target, "/doc.pdf");
    EXPECT_EQ(server.requests()[0].count("cookie"), 0u);
}

TEST_F(URLSessionTest, ErrorPageIsADownloadToo) {
    LoopbackHttpServer server(false, [](const RecordedRequest&) { return CannedReply{404, "", "not here", {}, false}; });
    Result r = get(server.baseUrl() + "/missing");
    ASSERT_FALSE(r.error);
    EXPECT_EQ(std::string(r.data->begin(), r.data->end()), "not here");
    EXPECT_EQ(r.response->statusCode, 404);
    EXPECT_EQ(r.response->mimeType, "");
}

TEST_F(URLSessionTest, CookieFieldOfTheConfigurationWinsOverTheStore) {
    LoopbackHttpServer server(false, [](const RecordedRequest&) { return CannedReply{}; });
    ASSERT_TRUE(store_->setCookie(*platform::HTTPCookie::make("PellixGetDoc", "stored", "127.0.0.1", "/",
                                                               platform::HTTPCookie::Clock::now() + 1h)));
    URLSessionConfiguration config;
    config.additionalHeaders["Cookie"] = "given=1";
    ASSERT_FALSE(get(server.baseUrl() + "/a", config).error);
    ASSERT_FALSE(get(server.baseUrl() + "/b").error);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].count("cookie"), 1u);
    EXPECT_EQ(requests[0].header("cookie"), "given=1");
    EXPECT_EQ(requests[1].header("cookie"), "PellixGetDoc=stored");
}

TEST_F(URLSessionTest, HeaderValueWithLineBreakFailsWithoutSending) {
    LoopbackHttpServer server(false, [](const RecordedRequest&) { return CannedReply{}; });
    URLSessionConfiguration config;
    config.additionalHeaders["Cookie"] = "a\r\nX-Injected: 1";
    Result r = get(server.baseUrl() + "/", config);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->domain, platform::kURLErrorDomain);
    EXPECT_FALSE(r.data);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(URLSessionTest, HttpsWithTrustedAndUntrustedCertificate) {
    LoopbackHttpServer server(true, [](const RecordedRequest&) { return CannedReply{200, "text/plain", "secret", {}, false}; });
    URLSessionConfiguration trusted;
    trusted.trustedCertificatesFile = server.certificateFile();
    Result ok = get(server.baseUrl() + "/s", trusted);
    ASSERT_FALSE(ok.error) << ok.error->describe();
    EXPECT_EQ(std::string(ok.data->begin(), ok.data->end()), "secret");

    Result refused = get(server.baseUrl() + "/s");
    ASSERT_TRUE(refused.error);
    EXPECT_FALSE(refused.error->description.empty());
}

TEST_F(URLSessionTest, ConnectionRefusedHasReadableError) {
    int port;
    {
        LoopbackHttpServer server(false, [](const RecordedRequest&) { return CannedReply{}; });
        port = server.port();
    }
    Result r = get("http://127.0.0.1:" + std::to_string(port) + "/");
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, platform::URLErrorCannotConnectToHost);
    EXPECT_EQ(r.error->description, "Could not connect to the server.");
}

TEST_F(URLSessionTest, BodyBeyondTheLimitFails) {
    LoopbackHttpServer server(false, [](const RecordedRequest&) { return CannedReply{200, "", std::string(5000, 'x'), {}, false}; });
    URLSessionConfiguration config;
    config.maximumBodyBytes = 4096;
    Result r = get(server.baseUrl() + "/big", config);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, platform::URLErrorDataLengthExceedsMaximum);
    EXPECT_FALSE(r.data);
}

TEST_F(URLSessionTest, FollowsRedirects) {
    LoopbackHttpServer server(false, [](const RecordedRequest& req) {
        if (req.target == "/old") return CannedReply{302, "", "", {"Location: /new"}, false};
        return CannedReply{200, "text/plain", "moved", {}, false};
    });
    Result r = get(server.baseUrl() + "/old");
    ASSERT_FALSE(r.error);
    EXPECT_EQ(std::string(r.data->begin(), r.data->end()), "moved");
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(URLSessionTest, ReplyThatNeverComesCompletesOnceWhenTheServerGoesAway) {
    LoopbackHttpServer server(false, [](const RecordedRequest&) { return CannedReply{200, "", "", {}, true}; });
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto promise = std::make_shared<std::promise<bool>>();
    auto future = promise->get_future();
    URLSessionConfiguration config;
    config.cookieStorage = store_;
    URLSession::create(config)->download(*URLRequest::make(server.baseUrl() + "/hang"),
                                                            [calls, promise](auto, auto, auto error) {
                                                                if (calls->fetch_add(1) == 0) promise->set_value(error.has_value());
                                                            });
    EXPECT_EQ(future.wait_for(100ms), std::future_status::timeout);
    server.stop();
    ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(future.get());
    EXPECT_EQ(calls->load(), 1);
}

}  // namespace
