#include "Platform/UrlLoading/detail/CurlLibrary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Platform/UrlLoading/URLRequest.h"
#include "Platform/UrlLoading/URLSession.h"

namespace {

using platform::detail::CurlLibrary;

bool libcurlMapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("/libcurl") != std::string::npos) return true;
    }
    return false;
}

// Runs first in this program, which links no libcurl: the library costs an idle process
// several MiB, so nothing may map it before a URL is first parsed or loaded.
TEST(CurlLibrary, LibcurlIsMappedOnlyFromTheFirstUrlOn) {
    ASSERT_FALSE(libcurlMapped()) << "libcurl is mapped before any URL was used";
    EXPECT_TRUE(platform::URLRequest::make("https://example.com/doc.pdf"));
    EXPECT_TRUE(libcurlMapped());
    EXPECT_FALSE(platform::URLSession::loadingError());
    EXPECT_EQ(&CurlLibrary::shared(), &CurlLibrary::shared());
}

TEST(CurlLibrary, MissingLibraryOrFunctionIsAnErrorNamingTheLibrary) {
    struct Case {
        const char* name;
        const char* reasonMentions;
    };
    constexpr Case cases[] = {
        {"libpellix-absent.so.0", "libpellix-absent.so.0"},
        // Loads, but holds none of curl's functions.
        {"libc.so.6", "curl_global_init"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CurlLibrary library = CurlLibrary::load(c.name);
        ASSERT_TRUE(library.error);
        EXPECT_EQ(library.error->domain, platform::kURLErrorDomain);
        EXPECT_NE(library.error->description.find(c.name), std::string::npos) << library.error->description;
        EXPECT_NE(library.error->failureReason.find(c.reasonMentions), std::string::npos) << library.error->failureReason;
        EXPECT_EQ(library.global_init, nullptr);
        EXPECT_EQ(library.easy_init, nullptr);
        EXPECT_EQ(library.free, nullptr);
    }
}

}  // namespace
