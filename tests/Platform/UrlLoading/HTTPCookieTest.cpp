#include "Platform/UrlLoading/HTTPCookieStorage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/UrlLoading/HTTPCookie.h"

namespace {

namespace fs = std::filesystem;
using platform::HTTPCookie;
using platform::HTTPCookieStorage;
using namespace std::chrono_literals;

HTTPCookie cookie(std::string name, std::string value, std::string domain, std::string path = "/",
                  HTTPCookie::Clock::duration life = 24h) {
    auto c = HTTPCookie::make(std::move(name), std::move(value), std::move(domain), std::move(path), HTTPCookie::Clock::now() + life);
    EXPECT_TRUE(c);
    return *c;
}

TEST(HTTPCookie, RefusesWhatCannotTravelInAHeader) {
    auto later = HTTPCookie::Clock::now() + 1h;
    struct Case { const char* name; const char* value; const char* domain; };
    constexpr Case refused[] = {
        {"", "v", "h"}, {"n", "v", ""}, {"a=b", "v", "h"}, {"n", "line\r\nX-Evil: 1", "h"},
        {"n", "tab\there", "h"}, {"n", "v", "h/x"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(std::string(c.name) + "|" + c.value + "|" + c.domain);
        EXPECT_FALSE(HTTPCookie::make(c.name, c.value, c.domain, "/", later));
    }
    EXPECT_TRUE(HTTPCookie::make("PellixGetDoc", "a=b; c d", "Example.COM", "/", later));
}

TEST(HTTPCookie, MatchesHostOnlyAndPathPrefix) {
    HTTPCookie c = cookie("n", "v", "Example.com", "/docs");
    EXPECT_TRUE(c.matches("example.COM", "/docs", false));
    EXPECT_TRUE(c.matches("example.com", "/docs/a.pdf", false));
    EXPECT_FALSE(c.matches("example.com", "/docsx", false));
    EXPECT_FALSE(c.matches("www.example.com", "/docs", false));
    EXPECT_FALSE(c.matches("example.org", "/docs", false));
}

TEST(HTTPCookie, FileLineRoundTrip) {
    HTTPCookie c = cookie("PellixGetDoc", "abc=1", "127.0.0.1");
    auto back = HTTPCookie::fromFileLine(c.fileLine() + "\n");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name(), "PellixGetDoc");
    EXPECT_EQ(back->value(), "abc=1");
    EXPECT_EQ(back->domain(), "127.0.0.1");
    EXPECT_EQ(back->path(), "/");
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(back->expiresAt().time_since_epoch()),
              std::chrono::duration_cast<std::chrono::seconds>(c.expiresAt().time_since_epoch()));
    for (const char* bad : {"", "# comment", "a\tb\tc", "h\tFALSE\t/\tFALSE\tsoon\tn\tv"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(HTTPCookie::fromFileLine(bad));
    }
    // curl writes HttpOnly cookies with a prefix; they still load.
    EXPECT_TRUE(HTTPCookie::fromFileLine("#HttpOnly_.h.example\tTRUE\t/\tFALSE\t4102444800\tn\tv"));
}

class HTTPCookieStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/pellix-cookies-test-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
        file_ = dir_ + "/data/pellix/Cookies.txt";
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dir_, file_;
};

TEST_F(HTTPCookieStorageTest, PersistsPrivatelyAndReplacesByName) {
    {
        HTTPCookieStorage store(file_);
        ASSERT_TRUE(store.setCookie(cookie("PellixGetDoc", "one", "127.0.0.1")));
        ASSERT_TRUE(store.setCookie(cookie("PellixGetDoc", "two", "127.0.0.1")));
        ASSERT_TRUE(store.setCookie(cookie("Other", "x", "example.com")));
    }
    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir_ + "/data/pellix").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    HTTPCookieStorage reread(file_);
    EXPECT_EQ(reread.cookieHeaderFor("127.0.0.1", "/doc", false), "PellixGetDoc=two");
    EXPECT_EQ(reread.cookieHeaderFor("example.com", "/", true), "Other=x");
    EXPECT_FALSE(reread.cookieHeaderFor("example.org", "/", false));
}

TEST_F(HTTPCookieStorageTest, ExpiredCookiesAreNeitherSentNorLoaded) {
    fs::create_directories(fs::path(file_).parent_path());
    std::ofstream(file_) << "# Netscape HTTP Cookie File\n"
                         << "h.example\tFALSE\t/\tFALSE\t1000\told\tv\n"
                         << "h.example\tFALSE\t/\tFALSE\t4102444800\tfresh\tv\n"
                         << "garbage line\n";
    HTTPCookieStorage store(file_);
    EXPECT_EQ(store.cookieHeaderFor("h.example", "/", false), "fresh=v");
}

}  // namespace
