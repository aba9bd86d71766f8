#include "Keychain/OVKeychain.h"

#include <gtest/gtest.h>

#include "Platform/Keychain/Keychain.h"
#include "Platform/Keychain/KeychainTestHome.h"
#include "Platform/Keychain/Subprocess.h"
#include "Platform/Keychain/TrustSettings.h"

namespace {

using keychain_test::makeIdentity;
using keychain_test::modeOf;
using keychain_test::readFile;
using keychain_test::StdoutCapture;

class OVKeychainTest : public keychain_test::TemporaryHome {
protected:
    // Provisioning writes the certificate to standard output; keep it out of the test log.
    std::optional<OVKeychain::IdentityArray> provision() {
        StdoutCapture out(root_ + "/stdout");
        return OVKeychain::sslIdentityAndCertificates("Pellix");
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

TEST_F(OVKeychainTest, CorruptStoreIsReportedAndNeverReplaced) {
    std::filesystem::create_directories(storeDir() + "/login.keychain");
    const std::string items = storeDir() + "/login.keychain/items.json";
    { std::ofstream(items) << "{ not json"; }
    auto found = provision();
    EXPECT_FALSE(found.has_value());
    EXPECT_GE(log_->count("Keychain store " + items + " is unreadable"), 1u);
    EXPECT_EQ(readFile(items), "{ not json");
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
