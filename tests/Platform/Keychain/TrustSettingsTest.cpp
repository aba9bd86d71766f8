#include "Platform/Keychain/TrustSettings.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

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

// certutil must never wait for an answer: it runs without a terminal (a session of its own)
// and without standard input (the certificate comes in a private file that is removed
// afterwards), and one that overruns its time-out is ended and fails the step.
TEST_F(TrustSettingsTest, CertutilHasNoTerminalNoInputAndATimeOut) {
    const std::string calls = root_ + "/calls";
    const std::string recorder = root_ + "/recording-certutil";
    {
        std::ofstream(recorder) << "#!/bin/sh\n"
                                   "{\n"
                                   "  echo \"call: $1\"\n"
                                   "  echo \"stdin: $(readlink /proc/$$/fd/0)\"\n"
                                   "  [ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo 'session leader'\n"
                                   "  (: </dev/tty) 2>/dev/null && echo 'has a terminal'\n"
                                   "  prev=''; for a in \"$@\"; do [ \"$prev\" = -i ] && cat \"$a\"; prev=$a; done\n"
                                   "} >>" << calls << "\n";
    }
    const std::string hanging = root_ + "/hanging-certutil";
    { std::ofstream(hanging) << "#!/bin/sh\necho $$ >" << root_ << "/pid\nexec sleep 60\n"; }
    for (const auto* tool : {&recorder, &hanging}) {
        std::filesystem::permissions(*tool, std::filesystem::perms::owner_all);
    }
    auto cert = makeIdentity(keychain_test::kNoLabel, "Pellix")->certificate();

    TrustSettings::setCertutilProgram(recorder);
    ASSERT_EQ(TrustSettings::setTrustSettings(*cert, TrustSettingsDomain::Admin, kRoot), platform::kKeychainSuccess);
    const std::string recorded = keychain_test::readFile(calls);
    EXPECT_EQ(recorded,
              "call: -N\nstdin: /dev/null\nsession leader\n"
              "call: -A\nstdin: /dev/null\nsession leader\n" + cert->pem());
    for (const auto& entry : std::filesystem::directory_iterator(storeDir())) {
        EXPECT_EQ(entry.path().filename().string().find(".certutil-"), std::string::npos) << entry.path();
    }

    TrustSettings::setCertutilProgram(hanging);
    TrustSettings::setCertutilTimeout(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    const auto status = TrustSettings::setTrustSettings(*cert, TrustSettingsDomain::Admin, kRoot);
    const auto took = std::chrono::steady_clock::now() - start;
    TrustSettings::setCertutilTimeout(platform::Subprocess::kDefaultTimeout);
    EXPECT_EQ(status, platform::kKeychainToolFailed);
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_EQ(log_->count("certutil did not finish within 300 ms and was ended"), 1u);
    const pid_t pid = std::stoi(keychain_test::readFile(root_ + "/pid"));
    EXPECT_NE(::kill(pid, 0), 0) << "the overrunning certutil still runs";
}

// A password-protected NSS database: the real certutil would ask on the terminal; without one
// it fails at once, and the step reports the failure.
TEST_F(TrustSettingsTest, PasswordProtectedNssDatabaseFailsWithoutWaiting) {
    auto real = platform::Subprocess::findInPath("certutil");
    ASSERT_TRUE(real) << "certutil (libnss3-tools) is installed by scripts/install-deps";
    const std::string db = root_ + "/home/.pki/nssdb";
    std::filesystem::create_directories(db);
    { std::ofstream(root_ + "/password") << "secret\n"; }
    ASSERT_EQ(platform::Subprocess::run({*real, "-N", "-d", "sql:" + db, "-f", root_ + "/password"}).exitStatus, 0);
    TrustSettings::setCertutilProgram(*real);
    auto cert = makeIdentity(keychain_test::kNoLabel, "Pellix")->certificate();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TrustSettings::setTrustSettings(*cert, TrustSettingsDomain::Admin, kRoot), platform::kKeychainToolFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, platform::Subprocess::kDefaultTimeout);
    EXPECT_EQ(log_->count("certutil failed"), 1u);
}

}  // namespace
