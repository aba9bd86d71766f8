#include "Platform/Keychain/Keychain.h"

#include <gtest/gtest.h>

#include "Platform/Keychain/KeychainPaths.h"
#include "Platform/Keychain/KeychainTestHome.h"

namespace {

using keychain_test::makeIdentity;
using keychain_test::modeOf;
using keychain_test::readFile;
using keychain_test::ScopedEnv;
using platform::Keychain;

class KeychainTest : public keychain_test::TemporaryHome {};

TEST_F(KeychainTest, StoreLocationFollowsTheEnvironment) {
    struct Case {
        const char* xdg;
        std::string expected;
    };
    const Case cases[] = {
        {"/abs/data", "/abs/data/pellix"},
        {"relative/data", root_ + "/home/.local/share/pellix"},
        {"", root_ + "/home/.local/share/pellix"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xdg);
        ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
        EXPECT_EQ(platform::KeychainPaths::dataDirectory(), c.expected);
    }
    EXPECT_EQ(platform::KeychainPaths::nssDatabaseDirectory(), root_ + "/home/.pki/nssdb");
}

TEST_F(KeychainTest, AddedIdentitiesComeBackInOrderWithTheirLabels) {
    auto a = makeIdentity(std::string("first"), "a");
    auto b = makeIdentity(keychain_test::kNoLabel, "b");
    std::vector<std::uint8_t> refA, refB;
    ASSERT_EQ(Keychain::addIdentity(*a, Keychain::Accessibility::Always, &refA), platform::kKeychainSuccess);
    ASSERT_EQ(Keychain::addIdentity(*b, Keychain::Accessibility::WhenUnlocked, &refB), platform::kKeychainSuccess);
    EXPECT_FALSE(refA.empty());
    EXPECT_NE(refA, refB);

    std::vector<std::shared_ptr<platform::Identity>> found;
    ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->privateKey()->printName(), std::optional<std::string>("first"));
    EXPECT_EQ(found[1]->privateKey()->printName(), std::nullopt);
    EXPECT_EQ(found[0]->certificate()->der(), a->certificate()->der());
    EXPECT_EQ(EVP_PKEY_eq(found[1]->privateKey()->evpKey(), b->privateKey()->evpKey()), 1);

    // the same certificate twice is refused, and nothing changes
    EXPECT_EQ(Keychain::addIdentity(*a, Keychain::Accessibility::Always, nullptr), platform::kKeychainDuplicateItem);
    ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
    EXPECT_EQ(found.size(), 2u);
}

TEST_F(KeychainTest, EmptyStoreFindsNothingAndWritesNothing) {
    std::vector<std::shared_ptr<platform::Identity>> found;
    EXPECT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainItemNotFound);
    EXPECT_FALSE(std::filesystem::exists(root_ + "/data/pellix"));
}

TEST_F(KeychainTest, DefaultKeychainOutsideTheSearchListIsNotSearched) {
    ASSERT_EQ(Keychain::setDefaultKeychain("other"), platform::kKeychainSuccess);
    ASSERT_EQ(Keychain::addIdentity(*makeIdentity(std::string("x")), Keychain::Accessibility::Always, nullptr), 0);
    std::vector<std::shared_ptr<platform::Identity>> found;
    EXPECT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainItemNotFound);
    ASSERT_EQ(Keychain::setSearchList({"login", "other"}), platform::kKeychainSuccess);
    EXPECT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
    EXPECT_EQ(found.size(), 1u);
    EXPECT_EQ(Keychain::setSearchList({"../escape"}), platform::kKeychainParam);
    EXPECT_EQ(modeOf(storeDir() + "/other.keychain"), 0700u);
}

// Every store file that is damaged makes the query fail with a report naming the file; an add
// leaves the damaged file as it is.
TEST_F(KeychainTest, DamagedFilesAreReportedNotReplaced) {
    struct Case {
        const char* title;
        std::string file;  // relative to the store directory; "KEY" is the stored key file
        std::string contents;
        bool remove = false;
    };
    const Case cases[] = {
        {"search list", "search-list.json", "[1,2"},
        {"search list with a bad name", "search-list.json", R"({"default":"login","search":["a/b"]})"},
        {"item list", "login.keychain/items.json", "{}"},
        {"key file garbage", "KEY", "not a key"},
        {"key file missing", "KEY", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TearDown();
        SetUp();
        ASSERT_EQ(Keychain::addIdentity(*makeIdentity(std::string("x")), Keychain::Accessibility::Always, nullptr), 0);
        std::string path = storeDir() + "/" + c.file;
        if (c.file == "KEY") {
            for (const auto& e : std::filesystem::directory_iterator(storeDir() + "/login.keychain")) {
                if (e.path().string().ends_with(".key.pem")) path = e.path().string();
            }
        }
        if (c.remove) {
            std::filesystem::remove(path);
        } else {
            std::ofstream(path, std::ios::trunc) << c.contents;
        }
        std::vector<std::shared_ptr<platform::Identity>> found;
        EXPECT_NE(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
        EXPECT_TRUE(found.empty());
        EXPECT_GE(log_->count("Keychain store " + path + " is unreadable"), 1u);
        Keychain::addIdentity(*makeIdentity(std::string("y")), Keychain::Accessibility::Always, nullptr);
        if (c.remove) {
            EXPECT_FALSE(std::filesystem::exists(path));
        } else {
            EXPECT_EQ(readFile(path), c.contents);
        }
    }
}

TEST_F(KeychainTest, UnwritableStoreFailsTheAdd) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory modes";
    ASSERT_EQ(Keychain::addIdentity(*makeIdentity(std::string("x")), Keychain::Accessibility::Always, nullptr), 0);
    ::chmod((storeDir() + "/login.keychain").c_str(), 0500);
    EXPECT_EQ(Keychain::addIdentity(*makeIdentity(std::string("y")), Keychain::Accessibility::Always, nullptr),
              platform::kKeychainIOError);
    ::chmod((storeDir() + "/login.keychain").c_str(), 0700);
    std::vector<std::shared_ptr<platform::Identity>> found;
    ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
    EXPECT_EQ(found.size(), 1u);
}

TEST_F(KeychainTest, ConcurrentAddsLoseNothing) {
    constexpr int kThreads = 4;
    std::vector<std::shared_ptr<platform::Identity>> identities;
    for (int i = 0; i < kThreads; ++i) identities.push_back(makeIdentity(std::string("t"), "t" + std::to_string(i)));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            EXPECT_EQ(Keychain::addIdentity(*identities[static_cast<size_t>(i)], Keychain::Accessibility::Always, nullptr),
                      0);
        });
    }
    for (auto& t : threads) t.join();
    std::vector<std::shared_ptr<platform::Identity>> found;
    ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
    EXPECT_EQ(found.size(), static_cast<size_t>(kThreads));
}

}  // namespace
