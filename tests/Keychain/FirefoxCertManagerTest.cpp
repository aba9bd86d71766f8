#include "Keychain/FirefoxCertManager.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

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

// A certificate file that cannot be written installs nothing and counts nothing, so the next
// pass, once the file can be written, installs it.
TEST_F(FirefoxCertManagerTest, ACertificateThatCannotBeWrittenInstallsNothing) {
    struct Case {
        const char* title;
        std::function<void()> breakIt;
        std::function<void()> mendIt;
        std::function<std::string()> logged;  // the beginning of the line that tells why
    };
    std::unique_ptr<ScopedEnv> elsewhere;
    const Case cases[] = {
        {"temporary directory below a file",
         [&] {
             std::ofstream(root_ + "/file") << "not a folder\n";
             elsewhere = std::make_unique<ScopedEnv>("TMPDIR", root_ + "/file/tmp");
         },
         [&] { elsewhere.reset(); },
         [] { return std::string("The certificate file cannot be written: there is no private temporary directory"); }},
        {"certificate file taken by a folder",
         [&] { fs::create_directories(root_ + "/tmp/Pellix/certificate.der/inside"); },
         [&] { fs::remove_all(root_ + "/tmp/Pellix/certificate.der"); },
         [&] { return "The certificate file " + root_ + "/tmp/Pellix/certificate.der cannot be written: "; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TearDown();
        SetUp();
        FirefoxCertManager manager(options(certutil_));
        c.breakIt();
        manager.updateFirefoxProfilesWithDer(der_, "Pellix");
        EXPECT_FALSE(manager.profilesUpdated());
        EXPECT_EQ(trustOf(profile("alice/.mozilla/firefox/abc.default")), "");
        EXPECT_EQ(trustOf(profile("bob/.mozilla/firefox/xyz.default")), "");
        EXPECT_EQ(log_->count(c.logged()), 1u);

        c.mendIt();
        manager.updateFirefoxProfilesWithDer(der_, "Pellix");
        EXPECT_TRUE(manager.profilesUpdated());
        EXPECT_EQ(trustOf(profile("alice/.mozilla/firefox/abc.default")), "C,,");
        EXPECT_EQ(trustOf(profile("bob/.mozilla/firefox/xyz.default")), "C,,");
    }
}

// $TMPDIR may name a folder that other accounts share. Its "Pellix" folder takes the
// certificate only when it is the user's own and nobody else may write to it.
TEST_F(FirefoxCertManagerTest, ASharedTemporaryFolderIsUsedOnlyWhenItIsPrivate) {
    struct Case {
        const char* title;
        uid_t owner;  // 0: the user running the test
        fs::perms mode;
        bool link;  // "Pellix" is a symbolic link to a folder made as the others are
        bool used;
    };
    constexpr uid_t kOtherAccount = 65534;
    const Case cases[] = {
        {"another account's, writable by all", kOtherAccount, fs::perms::all, false, false},
        {"another account's, private to it", kOtherAccount, fs::perms::owner_all, false, false},
        {"ours, writable by all", 0, fs::perms::all, false, false},
        {"ours, writable by the group", 0, fs::perms::owner_all | fs::perms::group_all, false, false},
        {"a link to a private folder of ours", 0, fs::perms::owner_all, true, false},
        {"ours, private", 0, fs::perms::owner_all, false, true},
        {"ours, readable by all", 0, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TearDown();
        SetUp();
        const std::string folder = root_ + (c.link ? "/target" : "/tmp/Pellix");
        fs::create_directories(folder);
        fs::permissions(folder, c.mode);
        const uid_t owner = c.owner == 0 ? ::getuid() : c.owner;
        if (owner != ::getuid()) {
            ASSERT_EQ(::chown(folder.c_str(), owner, owner), 0) << "the test runs as root";
        }
        if (c.link) fs::create_directory_symlink(folder, root_ + "/tmp/Pellix");

        EXPECT_EQ(FirefoxCertManager::applicationTemporaryDirectory().has_value(), c.used);
        FirefoxCertManager manager(options(certutil_));
        manager.updateFirefoxProfilesWithDer(der_, "Pellix");
        EXPECT_EQ(manager.profilesUpdated(), c.used);
        EXPECT_EQ(trustOf(profile("alice/.mozilla/firefox/abc.default")), c.used ? "C,," : "");
        EXPECT_TRUE(fs::is_empty(folder));  // nothing written into a folder that is not used, nothing left behind
        if (!c.used) {
            EXPECT_EQ(log_->count("The certificate file cannot be written"), 1u);
        }
    }
}

// Two passes at once, each with its own certificate, from two installers: they run one after
// the other, and each profile receives each pass's own file. The stand-in tool notes a pass
// that starts while another one's add runs, and which certificate each add was given.
TEST_F(FirefoxCertManagerTest, PassesRunOneAtATime) {
    const std::string tool = root_ + "/certutil";
    const std::string a = root_ + "/a.der", b = root_ + "/b.der";
    const std::string events = root_ + "/events";
    const auto derB = keychain_test::makeIdentity(keychain_test::kNoLabel, "Pellix")->certificate()->der();
    std::ofstream(a, std::ios::binary).write(reinterpret_cast<const char*>(der_.data()), static_cast<std::streamsize>(der_.size()));
    std::ofstream(b, std::ios::binary).write(reinterpret_cast<const char*>(derB.data()), static_cast<std::streamsize>(derB.size()));
    std::ofstream(tool) << "#!/bin/sh\n"
                           "[ \"$1\" = -A ] || exit 1\n"
                           "mkdir '" << root_ << "/inside' 2>/dev/null || echo overlap >> '" << events << "'\n"
                           "if cmp -s \"$5\" '" << a << "'; then echo a >> '" << events << "';\n"
                           "elif cmp -s \"$5\" '" << b << "'; then echo b >> '" << events << "';\n"
                           "else echo other >> '" << events << "'; fi\n"
                           "sleep 0.2\n"
                           "rmdir '" << root_ << "/inside'\n";
    fs::permissions(tool, fs::perms::owner_all);

    FirefoxCertManager first(options(tool)), second(options(tool));
    std::thread one([&] { first.updateFirefoxProfilesWithDer(der_, "Pellix"); });
    std::thread two([&] { second.updateFirefoxProfilesWithDer(derB, "Pellix"); });
    one.join();
    two.join();
    EXPECT_TRUE(first.profilesUpdated());
    EXPECT_TRUE(second.profilesUpdated());
    // Two profiles each: "a" twice and "b" twice, one pass after the other.
    std::string seen;
    std::ifstream in(events);
    for (std::string line; std::getline(in, line);) seen += line + " ";
    EXPECT_TRUE(seen == "a a b b " || seen == "b b a a ") << seen;
    EXPECT_FALSE(fs::exists(root_ + "/tmp/Pellix/certificate.der"));
}

// Runs body in a child process as the account uid (and its group); the child's exit code is
// what body returns.
pid_t runAs(uid_t uid, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(100);
    ::_exit(body());
}

// The exit code of the child, or -1 when it has not ended within the limit (it is ended then).
int exitCodeWithin(pid_t pid, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// $TMPDIR may be a folder in which every account may rename entries (mode 0777, no sticky
// bit). Another account may then move pellix's checked "Pellix" folder aside and put one of
// its own, with its own certificate, in its place while the installer runs; whatever it does,
// certutil must add the certificate pellix wrote. The installer runs as one account and a
// second account swaps the folder at the worst moment: the stand-in tool, listing the first
// profile, waits until the swap is done. The tool notes whose certificate each add read.
TEST_F(FirefoxCertManagerTest, AnotherAccountSwappingTheFolderCannotHandCertutilItsCertificate) {
    if (::geteuid() != 0) GTEST_SKIP() << "the two accounts are set up by root";
    constexpr uid_t kInstaller = 1000, kOther = 1001;
    const std::string shared = root_ + "/shared", race = root_ + "/race", tool = root_ + "/certutil";
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    for (const auto& folder : {shared, race}) {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::all);  // no sticky bit
    }
    const auto derOther = keychain_test::makeIdentity(keychain_test::kNoLabel, "Pellix")->certificate()->der();
    auto writeDer = [](const std::string& path, const std::vector<std::uint8_t>& der) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
        return fs::exists(path);
    };
    ASSERT_TRUE(writeDer(race + "/ours.der", der_));
    ASSERT_TRUE(writeDer(race + "/theirs.der", derOther));
    std::ofstream(tool) << "#!/bin/sh\n"
                           "race='" << race << "'\n"
                           "case \"$1\" in\n"
                           "-L) touch \"$race/listing\"\n"
                           "    i=0; while [ ! -e \"$race/swapped\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                           "    exit 1 ;;\n"
                           "-A) if cmp -s \"$5\" \"$race/ours.der\"; then echo ours;\n"
                           "    elif cmp -s \"$5\" \"$race/theirs.der\"; then echo theirs;\n"
                           "    else echo other; fi >> \"$race/added\" ;;\n"
                           "esac\n";
    fs::permissions(tool, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);

    const pid_t other = runAs(kOther, [&] {
        for (int i = 0; i < 400 && !fs::exists(race + "/listing"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (::rename((shared + "/Pellix").c_str(), (shared + "/moved").c_str()) != 0) return 2;
        if (::mkdir((shared + "/Pellix").c_str(), 0755) != 0) return 3;
        if (!writeDer(shared + "/Pellix/certificate.der", derOther)) return 4;
        std::ofstream(race + "/swapped") << "done\n";
        return 0;
    });
    const pid_t installer = runAs(kInstaller, [&] {
        ::setenv("TMPDIR", shared.c_str(), 1);
        FirefoxCertManager manager(options(tool));
        manager.updateFirefoxProfilesWithDer(der_, "Pellix");
        return manager.profilesUpdated() ? 0 : 1;
    });
    EXPECT_EQ(exitCodeWithin(installer, std::chrono::seconds(60)), 0);
    EXPECT_EQ(exitCodeWithin(other, std::chrono::seconds(30)), 0) << "the other account's swap";

    std::string added;
    std::ifstream in(race + "/added");
    for (std::string line; std::getline(in, line);) added += line + " ";
    EXPECT_EQ(added, "ours ours ");  // one add per profile
    // Ours is removed from our folder, wherever it was moved; theirs is not ours to remove.
    EXPECT_FALSE(fs::exists(shared + "/moved/certificate.der"));
    EXPECT_TRUE(fs::exists(shared + "/Pellix/certificate.der"));
}

TEST_F(FirefoxCertManagerTest, SharedManagerUsesTheFixedPaths) {
    auto& shared = FirefoxCertManager::sharedManager();
    EXPECT_EQ(&shared, &FirefoxCertManager::sharedManager());
    EXPECT_EQ(shared.certUtilInstalled(), fs::exists("/usr/bin/certutil"));
    EXPECT_EQ(FirefoxCertManager::applicationTemporaryDirectory(), root_ + "/tmp/Pellix");
}

}  // namespace
