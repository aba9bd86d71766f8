#include "Keychain/OVKeychain.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <vector>

#include "Platform/Keychain/Keychain.h"
#include "Platform/Keychain/KeychainTestHome.h"
#include "Platform/Keychain/Subprocess.h"
#include "Platform/Keychain/TrustSettings.h"
#include "tools/DescriptorsUsedUp.h"

namespace {

using keychain_test::makeIdentity;
using keychain_test::modeOf;
using keychain_test::readFile;
using keychain_test::StdoutCapture;
using testtools::DescriptorsUsedUp;

class OVKeychainTest : public keychain_test::TemporaryHome {
protected:
    // Provisioning writes the certificate to standard output; keep it out of the test log.
    std::optional<OVKeychain::IdentityArray> provision(platform::OSStatus* status = nullptr) {
        StdoutCapture out(root_ + "/stdout");
        return OVKeychain::sslIdentityAndCertificates("Pellix", status);
    }
};

// Which identity the lookup picks, for keychains holding keys with these labels (in the order
// they were added).
TEST_F(OVKeychainTest, LookupTakesTheFirstKeyWhoseLabelBeginsWithTheName) {
    struct Case {
        const char* title;
        std::vector<std::optional<std::string>> labels;
        int expected;  // index of the identity found; -1 an empty array; -2 no array at all
    };
    const Case cases[] = {
        {"empty keychain", {}, -2},
        {"two matches: the first added", {"Pellix", "Pellix"}, 0},
        {"longer label matches", {"Other", "Pellix server"}, 1},
        {"letter case differs", {"pellix", "PELLIX"}, -1},
        {"key without a print name is skipped", {std::nullopt, "Pellix"}, 1},
        {"shorter label does not match", {"Pelli"}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TearDown();
        SetUp();
        std::vector<std::shared_ptr<platform::Identity>> added;
        for (size_t i = 0; i < c.labels.size(); ++i) {
            added.push_back(makeIdentity(c.labels[i], "id" + std::to_string(i)));
            ASSERT_EQ(platform::Keychain::addIdentity(*added.back(), platform::Keychain::Accessibility::Always, nullptr),
                      platform::kKeychainSuccess);
        }
        auto found = OVKeychain::identityAndCertificates("Pellix");
        if (c.expected == -2) {
            EXPECT_FALSE(found.has_value());
            continue;
        }
        ASSERT_TRUE(found.has_value());
        if (c.expected == -1) {
            EXPECT_TRUE(found->empty());
            continue;
        }
        ASSERT_EQ(found->size(), 1u);
        EXPECT_EQ(found->front()->certificate()->sha256Hex(),
                  added[static_cast<size_t>(c.expected)]->certificate()->sha256Hex());
    }
}

TEST_F(OVKeychainTest, LabelsAreReadAsLatin1) {
    // A label whose bytes are UTF-8 "é" reads as two Latin-1 characters; a prefix before it
    // still matches, the name with the character does not.
    auto identity = makeIdentity(std::string("Pellix\xC3\xA9"));
    EXPECT_TRUE(OVKeychain::identity(identity, "Pellix"));
    EXPECT_FALSE(OVKeychain::identity(identity, "Pellix\xC3\xA9"));
    EXPECT_TRUE(OVKeychain::identity(identity, "Pellix\xC3\x83\xC2\xA9"));
    EXPECT_FALSE(OVKeychain::identity(nullptr, "Pellix"));
    EXPECT_FALSE(OVKeychain::identity(makeIdentity(keychain_test::kNoLabel), ""));
    EXPECT_TRUE(OVKeychain::identity(makeIdentity(std::string()), ""));
}

TEST_F(OVKeychainTest, SearchListOrderDecidesBetweenKeychains) {
    auto inA = makeIdentity(std::string("Pellix"), "a");
    auto inB = makeIdentity(std::string("Pellix"), "b");
    ASSERT_EQ(platform::Keychain::addIdentity("a", *inA, platform::Keychain::Accessibility::Always, nullptr), 0);
    ASSERT_EQ(platform::Keychain::addIdentity("b", *inB, platform::Keychain::Accessibility::Always, nullptr), 0);
    ASSERT_EQ(platform::Keychain::setSearchList({"b", "a"}), 0);
    auto found = OVKeychain::identityAndCertificates("Pellix");
    ASSERT_TRUE(found && found->size() == 1);
    EXPECT_EQ(found->front()->certificate()->sha256Hex(), inB->certificate()->sha256Hex());
}

TEST_F(OVKeychainTest, FirstConnectionProvisionsAndLaterOnesFindIt) {
    auto first = provision();
    ASSERT_TRUE(first && first->size() == 1);
    EXPECT_EQ(log_->count("Adding new certificate for Pellix"), 1u);
    EXPECT_EQ(log_->lines().size(), 1u);
    const auto& identity = first->front();
    EXPECT_EQ(identity->privateKey()->printName(), std::optional<std::string>("Pellix"));
    EXPECT_EQ(identity->certificate()->commonName(), "Pellix");
    EXPECT_EQ(X509_check_private_key(identity->certificate()->x509(), identity->privateKey()->evpKey()), 1);

    log_->clear();
    auto second = provision();
    ASSERT_TRUE(second && second->size() == 1);
    EXPECT_TRUE(log_->lines().empty());
    EXPECT_EQ(second->front()->certificate()->sha256Hex(), identity->certificate()->sha256Hex());

    // Stored in the default keychain, files private, trusted as a root in the admin domain.
    const std::string data = root_ + "/data/pellix";
    EXPECT_EQ(modeOf(data), 0700u);
    EXPECT_EQ(modeOf(storeDir()), 0700u);
    EXPECT_EQ(modeOf(storeDir() + "/login.keychain"), 0700u);
    EXPECT_EQ(modeOf(storeDir() + "/login.keychain/items.json"), 0600u);
    size_t keys = 0;
    for (const auto& entry : std::filesystem::directory_iterator(storeDir() + "/login.keychain")) {
        if (entry.path().string().ends_with(".key.pem")) {
            ++keys;
            EXPECT_EQ(modeOf(entry.path().string()), 0600u);
        }
    }
    EXPECT_EQ(keys, 1u);
    std::vector<platform::TrustSettingsEntry> settings;
    ASSERT_EQ(platform::TrustSettings::copyTrustSettings(*identity->certificate(), platform::TrustSettingsDomain::Admin,
                                                         settings),
              platform::kKeychainSuccess);
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0], (platform::TrustSettingsEntry{{"kSecTrustSettingsResult", 1}}));
}

TEST_F(OVKeychainTest, FailedTrustSettingIsLoggedAndTheIdentityStays) {
    platform::TrustSettings::setCertutilProgram(std::string("/bin/false"));
    auto found = provision();
    ASSERT_TRUE(found && found->size() == 1);
    EXPECT_EQ(log_->count("Could not change the trust setting for a certificate. Error: -25257"), 1u);
    log_->clear();
    auto again = provision();
    ASSERT_TRUE(again && again->size() == 1);
    EXPECT_EQ(log_->count("Adding new certificate"), 0u);
}

// A damaged store makes at most one new identity, found from then on: four connections after
// the key file of the identity went missing, or after the item list became garbage.
TEST_F(OVKeychainTest, DamagedStoreMakesOneNewIdentityThatLaterConnectionsFind) {
    const auto keychain = [this] { return storeDir() + "/login.keychain"; };
    struct Case {
        const char* title;
        std::function<void()> damage;
    };
    const Case cases[] = {
        {"key file removed",
         [&] {
             for (const auto& e : std::filesystem::directory_iterator(keychain())) {
                 if (e.path().string().ends_with(".key.pem")) std::filesystem::remove(e.path());
             }
         }},
        {"item list garbage", [&] { std::ofstream(keychain() + "/items.json", std::ios::trunc) << "{ not json"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TearDown();
        SetUp();
        auto original = provision();
        ASSERT_TRUE(original && original->size() == 1);
        c.damage();
        log_->clear();
        std::set<std::string> served;
        for (int connection = 0; connection < 4; ++connection) {
            auto found = provision();
            ASSERT_TRUE(found && found->size() == 1) << "connection " << connection;
            served.insert(found->front()->certificate()->sha256Hex());
        }
        EXPECT_EQ(log_->count("Adding new certificate for Pellix"), 1u);
        EXPECT_EQ(served.size(), 1u);
        EXPECT_EQ(served.count(original->front()->certificate()->sha256Hex()), 0u);
        size_t keys = 0;
        for (const auto& e : std::filesystem::directory_iterator(keychain())) keys += e.path().string().ends_with(".key.pem");
        EXPECT_LE(keys, 2u);
    }
}

// Every descriptor in use, as when a crowd of connections holds them: the keychain cannot be
// read (EMFILE), which is not an empty keychain. No identity is made beside the stored one,
// and once descriptors are free again the stored one is found.
TEST_F(OVKeychainTest, KeychainThatCannotBeReadForNowMakesNoNewIdentity) {
    auto original = provision();
    ASSERT_TRUE(original && original->size() == 1);
    log_->clear();

    std::optional<OVKeychain::IdentityArray> during;
    platform::OSStatus first = platform::kKeychainSuccess;
    platform::OSStatus second = platform::kKeychainSuccess;
    {
        DescriptorsUsedUp used;
        ASSERT_TRUE(used.usedUp());
        during = OVKeychain::sslIdentityAndCertificates("Pellix", &first);
        during = OVKeychain::sslIdentityAndCertificates("Pellix", &second);
    }
    EXPECT_FALSE(during.has_value());
    // Told apart from an empty keychain, so that the connection does not serve plain HTTP.
    EXPECT_EQ(first, platform::kKeychainUnreadableForNow);
    EXPECT_EQ(second, platform::kKeychainUnreadableForNow);
    EXPECT_EQ(log_->count("Adding new certificate"), 0u);
    EXPECT_EQ(log_->count("The keychain cannot be read for now; no new certificate for Pellix is made"), 2u);
    EXPECT_GE(log_->count("Keychain store " + storeDir() + "/search-list.json is unreadable: cannot open "), 2u);

    platform::OSStatus status = platform::kKeychainUnreadableForNow;
    auto after = provision(&status);
    ASSERT_TRUE(after && after->size() == 1);
    EXPECT_EQ(status, platform::kKeychainSuccess);
    EXPECT_EQ(after->front()->certificate()->sha256Hex(), original->front()->certificate()->sha256Hex());
    size_t keys = 0;
    for (const auto& e : std::filesystem::directory_iterator(storeDir() + "/login.keychain")) {
        keys += e.path().string().ends_with(".key.pem");
    }
    EXPECT_EQ(keys, 1u);
}

// What the default keychain holds: its listed items and the files beside them.
struct StoreContents {
    size_t items = 0;
    size_t keys = 0;
    size_t certificates = 0;
    size_t temporaries = 0;
};

StoreContents contentsOf(const std::string& keychain) {
    StoreContents contents;
    if (!std::filesystem::exists(keychain)) return contents;
    if (std::filesystem::exists(keychain + "/items.json")) {
        contents.items = nlohmann::json::parse(readFile(keychain + "/items.json"))["items"].size();
    }
    for (const auto& e : std::filesystem::directory_iterator(keychain)) {
        const std::string path = e.path().string();
        contents.keys += path.ends_with(".key.pem");
        contents.certificates += path.ends_with(".cert.pem");
        contents.temporaries += path.find(".tmp.") != std::string::npos;
    }
    return contents;
}

// First use while the process is short of descriptors, with none to a few of them free: with
// one free the keychain reads as empty (each file opened alone) but the new identity cannot be
// stored (the change holds its lock file, then has none left for the item list). Such an
// attempt gives no identity for now, never none at all (which serves plain HTTP), and leaves
// nothing behind; once descriptors are free, one identity is made, stored and trusted.
TEST_F(OVKeychainTest, IdentityThatCannotBeStoredForNowGivesNoIdentityForNow) {
    size_t storeFailedForNow = 0;
    for (size_t leftFree = 0; leftFree <= 6; ++leftFree) {
        SCOPED_TRACE("descriptors left free: " + std::to_string(leftFree));
        TearDown();
        SetUp();
        std::optional<OVKeychain::IdentityArray> during;
        platform::OSStatus status = platform::kKeychainSuccess;
        {
            StdoutCapture out(root_ + "/stdout");
            DescriptorsUsedUp used(leftFree);
            ASSERT_TRUE(used.usedUp());
            during = OVKeychain::sslIdentityAndCertificates("Pellix", &status);
        }
        const bool made = during && during->size() == 1;
        EXPECT_TRUE(made || (!during && platform::failsForNow(status))) << "status " << status;
        const size_t attempts = log_->count("Adding new certificate for Pellix");
        if (!made && attempts == 1) {
            ++storeFailedForNow;
            EXPECT_EQ(log_->count("The new certificate for Pellix cannot be stored for now; it is made again later"), 1u);
        }
        const StoreContents left = contentsOf(storeDir() + "/login.keychain");
        EXPECT_EQ(left.items, made ? 1u : 0u);
        EXPECT_EQ(left.keys, left.items);
        EXPECT_EQ(left.certificates, left.items);
        EXPECT_EQ(left.temporaries, 0u);

        platform::OSStatus afterStatus = platform::kKeychainUnreadableForNow;
        auto after = provision(&afterStatus);
        ASSERT_TRUE(after && after->size() == 1);
        EXPECT_EQ(afterStatus, platform::kKeychainSuccess);
        if (made) {
            EXPECT_EQ(after->front()->certificate()->sha256Hex(), during->front()->certificate()->sha256Hex());
        }
        EXPECT_EQ(log_->count("Adding new certificate for Pellix"), attempts + (made ? 0u : 1u));
        const StoreContents stored = contentsOf(storeDir() + "/login.keychain");
        EXPECT_EQ(stored.items, 1u);
        EXPECT_EQ(stored.keys, 1u);
        EXPECT_EQ(stored.certificates, 1u);
        std::vector<platform::TrustSettingsEntry> settings;
        EXPECT_EQ(platform::TrustSettings::copyTrustSettings(*after->front()->certificate(),
                                                             platform::TrustSettingsDomain::Admin, settings),
                  platform::kKeychainSuccess);
    }
    // The sweep went through a keychain that read fine and could not take the identity.
    EXPECT_GE(storeFailedForNow, 1u);
}

// A store that cannot take the identity for a reason that stays (a file where the keychain's
// folder belongs) is not a failure for now: no identity at all, as before, and nothing made
// piles up.
TEST_F(OVKeychainTest, IdentityThatCannotBeStoredForGoodGivesNoIdentity) {
    std::filesystem::create_directories(storeDir());
    { std::ofstream(storeDir() + "/login.keychain") << "not a folder"; }
    for (int connection = 0; connection < 2; ++connection) {
        SCOPED_TRACE(connection);
        platform::OSStatus status = platform::kKeychainSuccess;
        auto found = provision(&status);
        EXPECT_TRUE(!found || found->empty());
        EXPECT_FALSE(platform::failsForNow(status)) << "status " << status;
    }
    EXPECT_EQ(log_->count("Adding new certificate for Pellix"), 2u);
    EXPECT_EQ(log_->count("cannot be stored for now"), 0u);
    EXPECT_FALSE(std::filesystem::exists(storeDir() + "/trust-settings-admin.json"));
}

// An identity stored where the lookup does not search (a default keychain outside the search
// list) is a failed add: logged, removed again, never trusted, and nothing piles up.
TEST_F(OVKeychainTest, AddThatTheLookupCannotFindFailsAndLeavesNothing) {
    ASSERT_EQ(platform::Keychain::setDefaultKeychain("elsewhere"), platform::kKeychainSuccess);
    for (int connection = 0; connection < 2; ++connection) {
        auto found = provision();
        EXPECT_TRUE(!found || found->empty());
    }
    EXPECT_EQ(log_->count("The new certificate for Pellix cannot be found in the keychain; it is not used"), 2u);
    EXPECT_EQ(log_->count("Could not change the trust setting"), 0u);
    const std::string items = storeDir() + "/elsewhere.keychain/items.json";
    EXPECT_EQ(nlohmann::json::parse(readFile(items))["items"].size(), 0u);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(storeDir() + "/elsewhere.keychain")) {
        files += e.path().string().ends_with(".pem");
    }
    EXPECT_EQ(files, 0u);
    EXPECT_FALSE(std::filesystem::exists(storeDir() + "/trust-settings-admin.json"));
}

// A certutil that never finishes is ended after its time-out; that is the trust step's
// failure, and the identity is kept and used.
TEST_F(OVKeychainTest, CertutilThatHangsIsEndedAndTheIdentityStays) {
    const std::string tool = root_ + "/certutil";
    { std::ofstream(tool) << "#!/bin/sh\nexec sleep 60\n"; }
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    platform::TrustSettings::setCertutilProgram(tool);
    platform::TrustSettings::setCertutilTimeout(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    auto found = provision();
    const auto took = std::chrono::steady_clock::now() - start;
    platform::TrustSettings::setCertutilTimeout(platform::Subprocess::kDefaultTimeout);
    ASSERT_TRUE(found && found->size() == 1);
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_EQ(log_->count("certutil did not finish within 300 ms and was ended"), 1u);
    EXPECT_EQ(log_->count("Could not change the trust setting for a certificate. Error: -25257"), 1u);
    log_->clear();
    auto again = provision();
    ASSERT_TRUE(again && again->size() == 1);
    EXPECT_EQ(log_->count("Adding new certificate"), 0u);
}

TEST_F(OVKeychainTest, ProvisionedCertificateIsInTheNssDatabase) {
    auto certutil = platform::Subprocess::findInPath("certutil");
    if (!certutil) GTEST_SKIP() << "certutil (libnss3-tools) not installed";
    platform::TrustSettings::setCertutilProgram(std::nullopt);
    auto found = provision();
    ASSERT_TRUE(found && found->size() == 1);
    EXPECT_EQ(log_->count("Could not change"), 0u);
    auto list = platform::Subprocess::run({*certutil, "-L", "-d", "sql:" + root_ + "/home/.pki/nssdb"});
    ASSERT_EQ(list.exitStatus, 0) << list.output;
    const std::string nickname = platform::TrustSettings::nssNickname(*found->front()->certificate());
    auto line = list.output.find(nickname);
    ASSERT_NE(line, std::string::npos) << list.output;
    std::string rest = list.output.substr(line + nickname.size(), list.output.find('\n', line) - line - nickname.size());
    EXPECT_EQ(rest.substr(rest.find_first_not_of(' '), 4), "P,, ") << rest;
}

TEST_F(OVKeychainTest, ExtractIdentityAndTrustLeavesOutValuesOnFailure) {
    std::shared_ptr<platform::Identity> identity;
    std::shared_ptr<platform::Trust> trust;
    const std::vector<std::uint8_t> garbage{0x30, 0x03, 0x02, 0x01, 0x03};
    EXPECT_NE(extractIdentityAndTrust(garbage, identity, trust, OVKeychain::kPassphrase), 0);
    EXPECT_FALSE(identity);
    EXPECT_FALSE(trust);
}

TEST_F(OVKeychainTest, CommandLineContainerOpensWithItsPassphrase) {
    if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "/usr/bin/openssl not installed";
    keychain_test::ScopedEnv tmp("TMPDIR", root_);
    auto dir = OVKeychain::applicationTemporaryDirectory();
    ASSERT_EQ(dir, root_ + "/Pellix");
    auto data = OVKeychain::dataFromIdentity("Pellix");
    ASSERT_TRUE(data.has_value());
    std::shared_ptr<platform::Identity> identity;
    std::shared_ptr<platform::Trust> trust;
    ASSERT_EQ(extractIdentityAndTrust(*data, identity, trust, std::string("lanterns")), platform::kKeychainSuccess);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->privateKey()->printName(), std::optional<std::string>("Pellix"));
    EXPECT_EQ(EVP_PKEY_get_bits(identity->privateKey()->evpKey()), 1024);
    EXPECT_TRUE(std::filesystem::is_empty(*dir));  // work files, the key among them, are gone
}

}  // namespace
