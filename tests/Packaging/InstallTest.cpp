// `cmake --install` of this build tree: the program and its user unit and nothing else, the unit
// naming the program where that install put it, under DESTDIR and without.
#include "Packaging/InstalledFiles.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace packaging {
namespace {

// Installs into a fresh scratch directory, with DESTDIR set to it when underDestdir; prefix
// empty for the build's configured one. Returns the prefix the install used.
std::optional<std::string> install(const ScratchDirectory& scratch, bool underDestdir, const std::string& prefix) {
    std::vector<std::string> command = {tool("env")};
    if (underDestdir) command.push_back("DESTDIR=" + scratch.path());
    command.insert(command.end(), {PELLIX_CMAKE, "--install", PELLIX_BUILD_DIR});
    if (!prefix.empty()) command.insert(command.end(), {"--prefix", prefix});
    auto result = run(command);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    if (result.exitStatus != 0) return std::nullopt;
    return prefix.empty() ? std::string(PELLIX_DEFAULT_PREFIX) : prefix;
}

// The program and the unit are the only files below root, the program is the built one, and
// the unit starts it at its installed path.
void expectInstalled(const std::string& scratch, const std::string& root, const std::string& prefix) {
    EXPECT_EQ(regularFiles(scratch),
              (std::set<std::string>{fs::relative(root + "/bin/pellix", scratch).string(),
                                     fs::relative(root + "/lib/systemd/user/pellix.service", scratch).string()}));
    EXPECT_TRUE(isExecutableFile(root + "/bin/pellix"));
    EXPECT_TRUE(readFile(root + "/bin/pellix") == readFile(PELLIX_BINARY)) << "the installed program is not the built one";
    expectUnitStarts(readFile(root + "/lib/systemd/user/pellix.service"), prefix + "/bin/pellix");
}

struct DestdirCase {
    const char* name;
    const char* prefix;  // empty: the build's configured prefix (/usr/local unless set otherwise)
};

constexpr DestdirCase kDestdirCases[] = {
    {"ConfiguredPrefix", ""},
    {"OtherPrefix", "/opt/pellix"},
};

void PrintTo(const DestdirCase& c, std::ostream* os) { *os << c.name; }

class InstallUnderDestdirTest : public ::testing::TestWithParam<DestdirCase> {};

TEST_P(InstallUnderDestdirTest, PutsTheFilesBelowDestdirAndTheUnitNamesThePrefix) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.made());
    auto prefix = install(scratch, true, GetParam().prefix);
    ASSERT_TRUE(prefix);
    expectInstalled(scratch.path(), scratch.path() + *prefix, *prefix);
}

INSTANTIATE_TEST_SUITE_P(Prefixes, InstallUnderDestdirTest, ::testing::ValuesIn(kDestdirCases));

// Installed for real (no DESTDIR), the unit names a program that exists, so systemd's own
// checks of the unit can run in full.
TEST(InstallTest, UnitOfARealInstallPassesSystemdVerify) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.made());
    auto prefix = install(scratch, false, scratch.path() + "/root");
    ASSERT_TRUE(prefix);
    expectInstalled(scratch.path(), *prefix, *prefix);

    auto analyze = platform::Subprocess::findInPath("systemd-analyze");
    if (!analyze) GTEST_SKIP() << "systemd-analyze is not installed, so systemd's checks of the unit cannot run";
    // A user manager needs a runtime directory, which a CI job without a login session lacks.
    const std::string runtime = scratch.path() + "/runtime";
    fs::create_directory(runtime);
    auto verify = run({tool("env"), "XDG_RUNTIME_DIR=" + runtime, *analyze, "--user",
                       "verify", *prefix + "/lib/systemd/user/pellix.service"});
    EXPECT_EQ(verify.exitStatus, 0) << verify.output;
    EXPECT_EQ(verify.output, "") << "systemd-analyze found fault with the unit";
}

}  // namespace
}  // namespace packaging
