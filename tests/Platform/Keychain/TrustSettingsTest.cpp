#include "Platform/Keychain/TrustSettings.h"

#include <gtest/gtest.h>

#include "Platform/Keychain/KeychainTestHome.h"
#include "Platform/Keychain/Subprocess.h"

namespace {

using keychain_test::makeIdentity;
using keychain_test::modeOf;
using platform::TrustSettings;
using platform::TrustSettingsDomain;
using platform::TrustSettingsEntry;

class TrustSettingsTest : public keychain_test::TemporaryHome {};

const std::vector<TrustSettingsEntry> kRoot{{{"kSecTrustSettingsResult", 1}}};
const std::vector<TrustSettingsEntry> kDeny{{{"kSecTrustSettingsResult", 3}}};

TEST_F(TrustSettingsTest, SettingsAreKeptPerCertificateAndDomain) {
    auto one = makeIdentity(keychain_test::kNoLabel, "one")->certificate();
    auto two = makeIdentity(keychain_test::kNoLabel, "two")->certificate();
    std::vector<TrustSettingsEntry> read;
    EXPECT_EQ(TrustSettings::copyTrustSettings(*one, TrustSettingsDomain::Admin, read), platform::kKeychainItemNotFound);

    ASSERT_EQ(TrustSettings::setTrustSettings(*one, TrustSettingsDomain::Admin, kRoot), platform::kKeychainSuccess);
    ASSERT_EQ(TrustSettings::setTrustSettings(*two, TrustSettingsDomain::Admin, kRoot), platform::kKeychainSuccess);
    ASSERT_EQ(TrustSettings::setTrustSettings(*one, TrustSettingsDomain::Admin, kDeny), platform::kKeychainSuccess);
    ASSERT_EQ(TrustSettings::copyTrustSettings(*one, TrustSettingsDomain::Admin, read), platform::kKeychainSuccess);
    EXPECT_EQ(read, kDeny);
    ASSERT_EQ(TrustSettings::copyTrustSettings(*two, TrustSettingsDomain::Admin, read), platform::kKeychainSuccess);
    EXPECT_EQ(read, kRoot);
    EXPECT_EQ(TrustSettings::copyTrustSettings(*two, TrustSettingsDomain::User, read), platform::kKeychainItemNotFound);
    EXPECT_EQ(TrustSettings::setTrustSettings(*two, TrustSettingsDomain::System, kRoot), platform::kKeychainParam);
    EXPECT_EQ(modeOf(storeDir() + "/trust-settings-admin.json"), 0600u);
}

TEST_F(TrustSettingsTest, CorruptSettingsFileIsReportedAndKept) {
    auto cert = makeIdentity(keychain_test::kNoLabel)->certificate();
    std::filesystem::create_directories(storeDir());
    const std::string path = storeDir() + "/trust-settings-admin.json";
    { std::ofstream(path) << "garbage"; }
    EXPECT_EQ(TrustSettings::setTrustSettings(*cert, TrustSettingsDomain::Admin, kRoot), platform::kKeychainDecode);
    EXPECT_EQ(keychain_test::readFile(path), "garbage");
    EXPECT_EQ(log_->count("Keychain store " + path + " is unreadable"), 1u);
}

// What the NSS step does for each certutil: none installed, one that fails, the real one.
TEST_F(TrustSettingsTest, RootTrustGoesToTheNssDatabaseWhereCertutilIsInstalled) {
    auto real = platform::Subprocess::findInPath("certutil");
    struct Case {
        const char* title;
        std::string certutil;  // empty: not installed
        const std::vector<TrustSettingsEntry>* settings;
        platform::OSStatus expected;
        bool listed;
    };
    std::vector<Case> cases{
        {"not installed", "", &kRoot, platform::kKeychainSuccess, false},
        {"certutil fails", "/bin/false", &kRoot, platform::kKeychainToolFailed, false},
        {"certutil missing at its path", "/nonexistent/certutil", &kRoot, platform::kKeychainToolFailed,
         false},
    };
    if (real) {
        cases.push_back({"deny stays out of NSS", *real, &kDeny, platform::kKeychainSuccess, false});
        cases.push_back({"real certutil", *real, &kRoot, platform::kKeychainSuccess, true});
        cases.push_back({"real certutil twice", *real, &kRoot, platform::kKeychainSuccess, true});
    }
    auto cert = makeIdentity(keychain_test::kNoLabel, "Pellix")->certificate();
    const std::string db = root_ + "/home/.pki/nssdb";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TrustSettings::setCertutilProgram(c.certutil);
        EXPECT_EQ(TrustSettings::setTrustSettings(*cert, TrustSettingsDomain::Admin, *c.settings), c.expected);
        std::vector<TrustSettingsEntry> read;
        ASSERT_EQ(TrustSettings::copyTrustSettings(*cert, TrustSettingsDomain::Admin, read), platform::kKeychainSuccess);
        EXPECT_EQ(read, *c.settings);  // recorded even when the NSS step failed
        if (c.expected == platform::kKeychainToolFailed) {
            EXPECT_GE(log_->count("certutil failed"), 1u);
        }
        if (!real) continue;
        auto list = platform::Subprocess::run({*real, "-L", "-d", "sql:" + db});
        const std::string expectedLine = TrustSettings::nssNickname(*cert);
        EXPECT_EQ(list.output.find(expectedLine) != std::string::npos, c.listed) << list.output;
    }
    if (!real) GTEST_SKIP() << "certutil (libnss3-tools) not installed; only the failure paths ran";
    auto list = platform::Subprocess::run({*real, "-L", "-d", "sql:" + db});
    const std::string nickname = TrustSettings::nssNickname(*cert);
    auto at = list.output.find(nickname);
    ASSERT_NE(at, std::string::npos) << list.output;
    std::string flags = list.output.substr(at + nickname.size(), list.output.find('\n', at) - at - nickname.size());
    EXPECT_EQ(flags.substr(flags.find_first_not_of(' '), 4), "P,, ") << flags;
}

}  // namespace
