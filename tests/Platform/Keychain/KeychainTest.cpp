#include "Platform/Keychain/Keychain.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <thread>

#include "Platform/Keychain/KeychainPaths.h"
#include "Platform/Keychain/KeychainTestHome.h"
#include "tools/TerminalPrompts.h"

namespace {

using keychain_test::makeIdentity;
using keychain_test::modeOf;
using keychain_test::readFile;
using keychain_test::ScopedEnv;
using platform::Keychain;

class KeychainTest : public keychain_test::TemporaryHome {
public:
    using TemporaryHome::storeDir;

    // Removes every item of "login" as a caller of the keychain would.
    void removeAll() {
        for (const auto& files : itemFiles()) {
            const std::string name = std::filesystem::path(files.key).filename().string();
            const std::string id = name.substr(0, name.find('.'));
            const std::string ref = "pellix-keychain-item:login/" + id;
            EXPECT_EQ(Keychain::deleteItem(std::vector<std::uint8_t>(ref.begin(), ref.end())), platform::kKeychainSuccess);
        }
    }

    struct ItemFiles {
        std::string key;
        std::string certificate;
    };
    // The files of the items of "login", in the order the item list names them.
    std::vector<ItemFiles> itemFiles() const {
        const std::string dir = storeDir() + "/login.keychain";
        std::vector<ItemFiles> files;
        const auto doc = nlohmann::json::parse(readFile(dir + "/items.json"), nullptr, false);
        if (!doc.is_object() || !doc.contains("items")) return files;
        for (const auto& item : doc["items"]) {
            const std::string id = item.value("id", "");
            if (std::filesystem::exists(dir + "/" + id + ".key.pem")) {
                files.push_back({dir + "/" + id + ".key.pem", dir + "/" + id + ".cert.pem"});
            }
        }
        return files;
    }
};

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

// A damaged file is reported by name and passed over: the search goes on with the rest of the
// store, and the files are left as they are for whoever wants to look at them.
TEST_F(KeychainTest, SearchPassesOverWhatItCannotRead) {
    enum class Damage { Write, Remove, KeyOfTheOther };
    struct Case {
        const char* title;
        std::string file;  // relative to the store directory; "KEY" and "CERT" are the first item's
        Damage damage;
        std::string contents;
        size_t found;  // how many of the two identities the search still finds
    };
    const Case cases[] = {
        {"search list that is not JSON: the built-in list", "search-list.json", Damage::Write, "[1,2", 2},
        {"search list with a bad name: the built-in list", "search-list.json", Damage::Write,
         R"({"default":"login","search":["a/b"]})", 2},
        {"item list that is not a list", "login.keychain/items.json", Damage::Write, "{}", 0},
        {"key file garbage", "KEY", Damage::Write, "not a key", 1},
        {"key file missing", "KEY", Damage::Remove, "", 1},
        {"certificate file missing", "CERT", Damage::Remove, "", 1},
        {"key of another certificate", "KEY", Damage::KeyOfTheOther, "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TearDown();
        SetUp();
        auto first = makeIdentity(std::string("x"), "first");
        auto second = makeIdentity(std::string("y"), "second");
        ASSERT_EQ(Keychain::addIdentity(*first, Keychain::Accessibility::Always, nullptr), 0);
        ASSERT_EQ(Keychain::addIdentity(*second, Keychain::Accessibility::Always, nullptr), 0);
        const auto keys = itemFiles();
        ASSERT_EQ(keys.size(), 2u);
        std::string path = storeDir() + "/" + c.file;
        if (c.file == "KEY") path = keys[0].key;
        if (c.file == "CERT") path = keys[0].certificate;
        std::string contents = c.contents;
        if (c.damage == Damage::KeyOfTheOther) contents = readFile(keys[1].key);
        if (c.damage == Damage::Remove) {
            std::filesystem::remove(path);
        } else {
            std::ofstream(path, std::ios::trunc) << contents;
        }

        std::vector<std::shared_ptr<platform::Identity>> found;
        const auto status = Keychain::copyMatchingIdentities(found);
        EXPECT_EQ(status, c.found ? platform::kKeychainSuccess : platform::kKeychainItemNotFound);
        ASSERT_EQ(found.size(), c.found);
        if (c.found) {
            EXPECT_EQ(found.back()->certificate()->der(), second->certificate()->der());
        }
        EXPECT_EQ(log_->count("Keychain store " + path + " is unreadable"), 1u);
        if (c.damage == Damage::Remove) {
            EXPECT_FALSE(std::filesystem::exists(path));
        } else {
            EXPECT_EQ(readFile(path), contents);
        }
    }
}

// A file that cannot be read for a passing reason is not damage: the search fails as a whole
// instead of passing over what that file may hold, and finds everything again once the file
// reads. The unreadable file is a link to /proc/self/mem, which opens and then fails every read
// at its start (an address never mapped) with EIO: a real I/O error.
TEST_F(KeychainTest, SearchFailsWhileAFileCannotBeReadForNow) {
    const char* const files[] = {"search-list.json", "login.keychain/items.json", "KEY", "CERT"};
    auto first = makeIdentity(std::string("x"), "first");
    auto second = makeIdentity(std::string("y"), "second");
    ASSERT_EQ(Keychain::addIdentity(*first, Keychain::Accessibility::Always, nullptr), 0);
    ASSERT_EQ(Keychain::addIdentity(*second, Keychain::Accessibility::Always, nullptr), 0);
    ASSERT_EQ(Keychain::setSearchList({"login"}), 0);
    const auto items = itemFiles();
    ASSERT_EQ(items.size(), 2u);
    for (const std::string file : files) {
        SCOPED_TRACE(file);
        std::string path = storeDir() + "/" + file;
        if (file == "KEY") path = items[0].key;
        if (file == "CERT") path = items[0].certificate;
        const std::string saved = path + ".saved";
        std::filesystem::rename(path, saved);
        std::filesystem::create_symlink("/proc/self/mem", path);
        log_->clear();

        std::vector<std::shared_ptr<platform::Identity>> found;
        EXPECT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainUnreadableForNow);
        EXPECT_TRUE(found.empty());
        EXPECT_EQ(log_->count("Keychain store " + path + " is unreadable: cannot read " + path + ": Input/output error"),
                  1u);
        if (file == "search-list.json") {
            // The built-in list could name another default keychain than the one on disk.
            std::string name;
            EXPECT_EQ(Keychain::copyDefaultKeychain(name), platform::kKeychainUnreadableForNow);
            EXPECT_EQ(Keychain::addIdentity(*makeIdentity(std::string("z")), Keychain::Accessibility::Always, nullptr),
                      platform::kKeychainUnreadableForNow);
        }

        std::filesystem::remove(path);
        std::filesystem::rename(saved, path);
        ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
        ASSERT_EQ(found.size(), 2u);
        EXPECT_EQ(found[0]->certificate()->der(), first->certificate()->der());
    }
}

// An add keeps every stored entry, also those the search cannot read; an item list that is
// not a list at all is set aside, never overwritten, and the keychain takes items again.
TEST_F(KeychainTest, AddKeepsUnreadableEntriesAndSetsADamagedListAside) {
    const std::string items = storeDir() + "/login.keychain/items.json";
    const std::string strange = R"({"id":"../x","certificateSha256":"00","note":"kept"})";
    std::filesystem::create_directories(storeDir() + "/login.keychain");
    { std::ofstream(items) << R"({"items":[)" << strange << "]}"; }
    auto a = makeIdentity(std::string("a"), "a");
    ASSERT_EQ(Keychain::addIdentity(*a, Keychain::Accessibility::Always, nullptr), platform::kKeychainSuccess);
    auto doc = nlohmann::json::parse(readFile(items));
    ASSERT_EQ(doc["items"].size(), 2u);
    EXPECT_EQ(doc["items"][0], nlohmann::json::parse(strange));
    EXPECT_GE(log_->count("Keychain store " + items + " is unreadable: malformed item entry 0"), 1u);

    for (const char* damaged : {"{ not json", "[]"}) {
        SCOPED_TRACE(damaged);
        { std::ofstream(items, std::ios::trunc) << damaged; }
        auto b = makeIdentity(std::string("b"), "b");
        ASSERT_EQ(Keychain::addIdentity(*b, Keychain::Accessibility::Always, nullptr), platform::kKeychainSuccess);
        std::vector<std::shared_ptr<platform::Identity>> found;
        ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0]->certificate()->der(), b->certificate()->der());
    }
    // Both damaged lists are kept, the second beside the first.
    EXPECT_EQ(readFile(items + ".damaged"), "{ not json");
    EXPECT_EQ(readFile(items + ".damaged-2"), "[]");
    EXPECT_EQ(modeOf(items), 0600u);
    EXPECT_EQ(log_->count("Keychain store " + items + " was set aside as " + items + ".damaged-2"), 1u);
}

// Every connection looks the identity up. An unchanged store is not parsed again: the lookup
// gives the same key and certificate objects as the one before (a key parsed anew would cost
// most of a handshake's time).
TEST_F(KeychainTest, LookupOfAnUnchangedStoreParsesNothingAgain) {
    ASSERT_EQ(Keychain::addIdentity(*makeIdentity(std::string("a"), "a"), Keychain::Accessibility::Always, nullptr), 0);
    ASSERT_EQ(Keychain::addIdentity(*makeIdentity(std::string("b"), "b"), Keychain::Accessibility::Always, nullptr), 0);
    std::vector<std::shared_ptr<platform::Identity>> first, later;
    ASSERT_EQ(Keychain::copyMatchingIdentities(first), platform::kKeychainSuccess);
    ASSERT_EQ(first.size(), 2u);
    for (int lookup = 0; lookup < 3; ++lookup) {
        SCOPED_TRACE(lookup);
        ASSERT_EQ(Keychain::copyMatchingIdentities(later), platform::kKeychainSuccess);
        ASSERT_EQ(later.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(later[i]->privateKey()->evpKey(), first[i]->privateKey()->evpKey());
            EXPECT_EQ(later[i]->certificate()->x509(), first[i]->certificate()->x509());
            EXPECT_EQ(later[i]->privateKey()->printName(), first[i]->privateKey()->printName());
        }
    }
    EXPECT_TRUE(log_->lines().empty());
}

// Whatever changes in the store between two lookups, the second sees the store as it is now.
TEST_F(KeychainTest, LookupSeesEveryChangeOfTheStore) {
    struct Case {
        const char* title;
        // Changes the store that holds identity "a" in "login"; returns the common names the
        // next lookup must find, in order.
        std::function<std::vector<std::string>(KeychainTest&)> change;
    };
    const auto cn = [](const std::shared_ptr<platform::Identity>& identity) {
        return identity->certificate()->commonName();
    };
    const Case cases[] = {
        {"identity removed", [](KeychainTest& t) {
             t.removeAll();
             return std::vector<std::string>{};
         }},
        {"identity removed, then another made", [](KeychainTest& t) {
             t.removeAll();
             EXPECT_EQ(Keychain::addIdentity(*makeIdentity(std::string("a"), "made again"), Keychain::Accessibility::Always,
                                             nullptr),
                       0);
             return std::vector<std::string>{"made again"};
         }},
        {"store removed, then made again", [](KeychainTest& t) {
             std::filesystem::remove_all(t.storeDir());
             EXPECT_EQ(Keychain::addIdentity(*makeIdentity(std::string("a"), "new store"), Keychain::Accessibility::Always,
                                             nullptr),
                       0);
             return std::vector<std::string>{"new store"};
         }},
        {"item files rewritten in place with another identity", [](KeychainTest& t) {
             auto other = makeIdentity(std::string("a"), "rewritten");
             const auto files = t.itemFiles().at(0);
             platform::BioPtr bio(BIO_new(BIO_s_mem()));
             PEM_write_bio_PrivateKey(bio.get(), other->privateKey()->evpKey(), nullptr, nullptr, 0, nullptr, nullptr);
             char* pem = nullptr;
             const long length = BIO_get_mem_data(bio.get(), &pem);
             std::ofstream(files.key, std::ios::trunc) << std::string(pem, static_cast<size_t>(length));
             std::ofstream(files.certificate, std::ios::trunc) << other->certificate()->pem();
             return std::vector<std::string>{"rewritten"};
         }},
        {"certificate replaced by one of another key", [](KeychainTest& t) {
             std::ofstream(t.itemFiles().at(0).certificate, std::ios::trunc)
                 << makeIdentity(std::string("a"), "other")->certificate()->pem();
             return std::vector<std::string>{};
         }},
        {"second identity added", [](KeychainTest&) {
             EXPECT_EQ(Keychain::addIdentity(*makeIdentity(std::string("b"), "second"), Keychain::Accessibility::Always,
                                             nullptr),
                       0);
             return std::vector<std::string>{"first", "second"};
         }},
        {"keychain left out of the search list", [](KeychainTest&) {
             EXPECT_EQ(Keychain::setSearchList({"other"}), 0);
             return std::vector<std::string>{};
         }},
        {"search list removed again", [](KeychainTest& t) {
             EXPECT_EQ(Keychain::setSearchList({"other"}), 0);
             std::vector<std::shared_ptr<platform::Identity>> none;
             EXPECT_EQ(Keychain::copyMatchingIdentities(none), platform::kKeychainItemNotFound);
             std::filesystem::remove(t.storeDir() + "/search-list.json");
             return std::vector<std::string>{"first"};
         }},
        {"item list emptied", [](KeychainTest& t) {
             std::ofstream(t.storeDir() + "/login.keychain/items.json", std::ios::trunc) << R"({"items":[]})";
             return std::vector<std::string>{};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        std::filesystem::remove_all(storeDir());
        ASSERT_EQ(Keychain::addIdentity(*makeIdentity(std::string("a"), "first"), Keychain::Accessibility::Always, nullptr),
                  0);
        std::vector<std::shared_ptr<platform::Identity>> found;
        ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
        ASSERT_EQ(found.size(), 1u);
        ASSERT_EQ(cn(found[0]), "first");

        const auto expected = c.change(*this);
        const auto status = Keychain::copyMatchingIdentities(found);
        EXPECT_EQ(status, expected.empty() ? platform::kKeychainItemNotFound : platform::kKeychainSuccess);
        std::vector<std::string> names;
        for (const auto& identity : found) names.push_back(cn(identity));
        EXPECT_EQ(names, expected);
    }
}

TEST_F(KeychainTest, DeleteItemRemovesTheItemAndItsFiles) {
    auto a = makeIdentity(std::string("a"), "a");
    auto b = makeIdentity(std::string("b"), "b");
    std::vector<std::uint8_t> refA, refB;
    ASSERT_EQ(Keychain::addIdentity(*a, Keychain::Accessibility::Always, &refA), 0);
    ASSERT_EQ(Keychain::addIdentity(*b, Keychain::Accessibility::Always, &refB), 0);
    ASSERT_EQ(Keychain::deleteItem(refA), platform::kKeychainSuccess);
    EXPECT_EQ(Keychain::deleteItem(refA), platform::kKeychainItemNotFound);
    const std::string forged = "pellix-keychain-item:../login/x";
    EXPECT_EQ(Keychain::deleteItem(std::vector<std::uint8_t>(forged.begin(), forged.end())), platform::kKeychainParam);
    std::vector<std::shared_ptr<platform::Identity>> found;
    ASSERT_EQ(Keychain::copyMatchingIdentities(found), platform::kKeychainSuccess);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->certificate()->der(), b->certificate()->der());
    EXPECT_EQ(itemFiles().size(), 1u);
}

// A stored key or certificate is never encrypted; one that is must be passed over without
// OpenSSL asking for its pass phrase (its default asks on the terminal and waits for good).
// The test's stand-in for the terminal records any question.
TEST_F(KeychainTest, EncryptedFileIsPassedOverWithoutAskingForAPassPhrase) {
    struct Case {
        const char* name;
        bool key;  // else the certificate
    };
    const Case cases[] = {{"the key file", true}, {"the certificate file", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(storeDir());
        auto a = makeIdentity(std::string("a"), "a");
        ASSERT_EQ(Keychain::addIdentity(*a, Keychain::Accessibility::Always, nullptr), 0);
        const std::string path = c.key ? itemFiles().at(0).key : itemFiles().at(0).certificate;
        {
            platform::BioPtr bio(BIO_new(BIO_s_mem()));
            const int written =
                c.key ? PEM_write_bio_PrivateKey(bio.get(), a->privateKey()->evpKey(), EVP_aes_256_cbc(), nullptr, 0,
                                                 nullptr, const_cast<char*>("secret"))
                      : PEM_ASN1_write_bio(reinterpret_cast<i2d_of_void*>(i2d_X509), PEM_STRING_X509, bio.get(),
                                           a->certificate()->x509(), EVP_aes_256_cbc(), nullptr, 0, nullptr,
                                           const_cast<char*>("secret"));
            ASSERT_EQ(written, 1);
            char* pem = nullptr;
            const long length = BIO_get_mem_data(bio.get(), &pem);
            std::ofstream(path, std::ios::trunc) << std::string(pem, static_cast<size_t>(length));
        }
        log_->clear();
        std::vector<std::shared_ptr<platform::Identity>> found;
        platform::OSStatus status;
        {
            testtools::TerminalPrompts terminal;
            status = Keychain::copyMatchingIdentities(found);
            EXPECT_EQ(terminal.count(), 0);
        }
        EXPECT_EQ(status, platform::kKeychainItemNotFound);
        EXPECT_EQ(log_->count("Keychain store " + path + " is unreadable"), 1u);
        EXPECT_EQ(ERR_peek_error(), 0u) << "the failed read left errors for the thread's next TLS call";
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
