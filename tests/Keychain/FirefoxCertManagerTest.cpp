#include "Keychain/FirefoxCertManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Platform/Keychain/KeychainTestHome.h"
#include "Platform/Keychain/Subprocess.h"

namespace {

namespace fs = std::filesystem;
using keychain_test::ScopedEnv;

// A machine of its own under a temporary root, with real NSS databases made by the real
// certutil:
//     alice/.mozilla/firefox/abc.default     a profile
//     alice/.mozilla/firefox/.default        not a profile (nothing before ".default")
//     alice/.mozilla/firefox/abc.default-x   not a profile (goes on after ".default")
//     bob/.mozilla/firefox/xyz.default       a profile
//     carol/                                 no profiles directory
//     .hidden/, Shared/, notes.txt           not users
class FirefoxCertManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        certutil_ = platform::Subprocess::findInPath("certutil").value_or("");
        ASSERT_FALSE(certutil_.empty()) << "certutil (libnss3-tools) is installed by scripts/install-deps";
        char pattern[] = "/tmp/pellix-firefox-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        tmpdir_ = std::make_unique<ScopedEnv>("TMPDIR", root_ + "/tmp");
        fs::create_directories(root_ + "/tmp");
        for (const char* profile : {"alice/.mozilla/firefox/abc.default", "alice/.mozilla/firefox/.default",
                                    "alice/.mozilla/firefox/abc.default-x", "bob/.mozilla/firefox/xyz.default"}) {
            makeProfile(users() + "/" + profile);
        }
        for (const char* other : {"carol", ".hidden", "Shared"}) fs::create_directories(users() + "/" + other);
        std::ofstream(users() + "/notes.txt") << "not a user\n";
        der_ = keychain_test::makeIdentity(keychain_test::kNoLabel, "Pellix")->certificate()->der();
        log_ = std::make_unique<testtools::LogCapture>();
    }
    void TearDown() override {
        log_.reset();
        tmpdir_.reset();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string users() const { return root_ + "/users"; }
    std::string profile(const std::string& relative) const { return users() + "/" + relative; }
    FirefoxCertManager::Options options(const std::string& tool) const {
        FirefoxCertManager::Options o;
        o.userRoot = users();
        o.certutilPath = tool;
        o.toolTimeout = std::chrono::seconds(20);
        return o;
    }

    void makeProfile(const std::string& path) {
        fs::create_directories(path);
        auto made = platform::Subprocess::run({certutil_, "-N", "-d", path, "--empty-password"});
        ASSERT_EQ(made.exitStatus, 0) << made.output;
    }

    // The trust attributes the profile's database lists for the name, or "" when it lists none.
    std::string trustOf(const std::string& path, const std::string& name = "Pellix") {
        auto list = platform::Subprocess::run({certutil_, "-L", "-d", path});
        EXPECT_EQ(list.exitStatus, 0) << list.output;
        std::istringstream lines(list.output);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with(name + " ")) continue;
            const auto end = line.find_last_not_of(' ');
            return line.substr(line.find_last_of(' ', end) + 1, end - line.find_last_of(' ', end));
        }
        return "";
    }

    std::string certutil_;
    std::string root_;
    std::unique_ptr<ScopedEnv> tmpdir_;
    std::vector<std::uint8_t> der_;
    std::unique_ptr<testtools::LogCapture> log_;
};

TEST(FirefoxCertManagerNames, ProfileFoldersEndWithDotDefaultAfterAName) {
    const struct {
        const char* name;
        bool profile;
    } cases[] = {
        {"abc.default", true}, {"a.b.default", true}, {".default", false}, {"abc.default-x", false},
        {"abc.default-release", false}, {"default", false}, {"abcdefault", false}, {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FirefoxCertManager::isProfileFolder(c.name), c.profile);
    }
}

TEST_F(FirefoxCertManagerTest, UsersAndTheirProfiles) {
    FirefoxCertManager manager(options(certutil_));
    auto listed = manager.getUsers();
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"alice", "bob", "carol"}));
    EXPECT_EQ(manager.getFirefoxProfileFolders("alice"),
              (std::vector<std::string>{users() + "/alice/.mozilla/firefox/abc.default"}));
    EXPECT_FALSE(manager.getFirefoxProfileFolders("carol").has_value());
    EXPECT_EQ(log_->count("Error Domain=NSPOSIXErrorDomain Code=2 "), 1u);
    EXPECT_TRUE(FirefoxCertManager({.userRoot = root_ + "/nowhere"}).getUsers().empty());
}

// One pass installs the certificate, trusted as an authority for TLS, into every profile that
// lacks it and leaves every other database alone; later calls do nothing.
TEST_F(FirefoxCertManagerTest, OnePassInstallsIntoEveryProfileThatLacksIt) {
    FirefoxCertManager manager(options(certutil_));
    EXPECT_FALSE(manager.profileContainsCertificateWithName("Pellix"));
    EXPECT_FALSE(manager.profilesUpdated());

    manager.updateFirefoxProfilesWithDer(der_, "Pellix");
    EXPECT_TRUE(manager.profilesUpdated());
    // certutil was told "C,u,u"; NSS keeps the "u" flags only for a certificate with its
    // private key, so the database lists "C,,".
    EXPECT_EQ(trustOf(profile("alice/.mozilla/firefox/abc.default")), "C,,");
    EXPECT_EQ(trustOf(profile("bob/.mozilla/firefox/xyz.default")), "C,,");
    EXPECT_EQ(trustOf(profile("alice/.mozilla/firefox/.default")), "");
    EXPECT_EQ(trustOf(profile("alice/.mozilla/firefox/abc.default-x")), "");
    EXPECT_GE(log_->count("Error Domain=NSPOSIXErrorDomain Code=2 "), 1u);  // carol has no profiles
    EXPECT_TRUE(manager.profileContainsCertificateWithName("Pellix"));
    EXPECT_FALSE(manager.profileContainsCertificateWithName("Other"));
    EXPECT_FALSE(fs::exists(root_ + "/tmp/Pellix/certificate.der"));

    // A pass in which every profile already has it changes nothing.
    FirefoxCertManager again(options(certutil_));
    again.updateFirefoxProfilesWithDer(der_, "Pellix");
    EXPECT_FALSE(again.profilesUpdated());

    // Once a pass has installed it, later calls do nothing, not even for a new profile.
    makeProfile(profile("bob/.mozilla/firefox/new.default"));
    manager.updateFirefoxProfilesWithDer(der_, "Pellix");
    EXPECT_EQ(trustOf(profile("bob/.mozilla/firefox/new.default")), "");
}

// Without the tool the list answers no and the add only logs, so every call tries again.
TEST_F(FirefoxCertManagerTest, WithoutTheToolTheAddOnlyLogs) {
    FirefoxCertManager manager(options(root_ + "/no-certutil"));
    EXPECT_FALSE(manager.certUtilInstalled());
    EXPECT_FALSE(manager.containsCertificateWithName("Pellix", profile("alice/.mozilla/firefox/abc.default")));
    log_->clear();
    manager.updateFirefoxProfilesWithDer(der_, "Pellix");
    EXPECT_EQ(log_->count("Error! Could not found certutil."), 2u);  // one per profile
    EXPECT_FALSE(manager.profilesUpdated());
    manager.updateFirefoxProfilesWithDer(der_, "Pellix");
    EXPECT_EQ(log_->count("Error! Could not found certutil."), 4u);
    EXPECT_FALSE(manager.profileContainsCertificateWithName("Pellix"));
    EXPECT_EQ(trustOf(profile("alice/.mozilla/firefox/abc.default")), "");
}

// A tool that never finishes (one asking for a password would) is ended after the time-out
// and counts as failed.
TEST_F(FirefoxCertManagerTest, AToolThatHangsIsEndedAndFails) {
    const std::string tool = root_ + "/certutil";
    std::ofstream(tool) << "#!/bin/sh\nexec sleep 60\n";
    fs::permissions(tool, fs::perms::owner_all);
    auto o = options(tool);
    o.toolTimeout = std::chrono::milliseconds(300);
    FirefoxCertManager manager(o);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(manager.containsCertificateWithName("Pellix", profile("alice/.mozilla/firefox/abc.default")));
    EXPECT_FALSE(manager.addCertificate(root_ + "/x.der", profile("alice/.mozilla/firefox/abc.default"), "Pellix"));
    manager.updateFirefoxProfiles(root_ + "/x.der", "Pellix");
    EXPECT_FALSE(manager.profilesUpdated());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(FirefoxCertManagerTest, SharedManagerUsesTheFixedPaths) {
    auto& shared = FirefoxCertManager::sharedManager();
    EXPECT_EQ(&shared, &FirefoxCertManager::sharedManager());
    EXPECT_EQ(shared.certUtilInstalled(), fs::exists("/usr/bin/certutil"));
    EXPECT_EQ(FirefoxCertManager::applicationTemporaryDirectory(), root_ + "/tmp/Pellix");
}

}  // namespace
