// `cmake --install` of this build tree: the program and its user unit and nothing else, the unit
// naming the program where that install put it, under DESTDIR and without.
#include "Packaging/InstalledFiles.h"

#include <cstdlib>
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
    expectUnitSandboxed(readFile(root + "/lib/systemd/user/pellix.service"));
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

// The overall exposure level that `systemd-analyze security` gives the unit, from its last
// line ("-> Overall exposure level for pellix.service: 6.4 MEDIUM"); -1 when there is none.
double exposureLevel(const std::string& output) {
    const std::string marker = "Overall exposure level for pellix.service: ";
    const auto at = output.rfind(marker);
    if (at == std::string::npos) return -1;
    return std::strtod(output.c_str() + at + marker.size(), nullptr);
}

// Installed for real (no DESTDIR), the unit names a program that exists, so systemd's own
// checks of the unit can run in full; its sandbox brings the exposure that systemd reckons for
// it down from "UNSAFE" (9.8 without one) to "MEDIUM" or better.
TEST(InstallTest, UnitOfARealInstallPassesSystemdVerifyAndIsSandboxed) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.made());
    auto prefix = install(scratch, false, scratch.path() + "/root");
    ASSERT_TRUE(prefix);
    expectInstalled(scratch.path(), *prefix, *prefix);

    const std::string analyze = tool("systemd-analyze");
    // A user manager needs a runtime directory, which a CI job without a login session lacks.
    const std::string runtime = scratch.path() + "/runtime";
    fs::create_directory(runtime);
    const std::string unit = *prefix + "/lib/systemd/user/pellix.service";
    auto verify = run({tool("env"), "XDG_RUNTIME_DIR=" + runtime, analyze, "--user", "verify", unit});
    EXPECT_EQ(verify.exitStatus, 0) << verify.output;
    EXPECT_EQ(verify.output, "") << "systemd-analyze found fault with the unit";

    auto security = run({tool("env"), "XDG_RUNTIME_DIR=" + runtime, analyze, "--user", "security", "--offline=yes",
                         "--no-pager", unit});
    const double level = exposureLevel(security.output);
    EXPECT_GE(level, 0) << security.output;
    EXPECT_LT(level, 7.0) << security.output;
}

// The README's install command strips the program, as the package does: the installed
// program carries no symbol table and no debug information, and is much smaller than the
// built one.
TEST(InstallTest, StrippedInstallLeavesNoDebugInformation) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.made());
    auto result = run({tool("env"), "DESTDIR=" + scratch.path(), PELLIX_CMAKE, "--install", PELLIX_BUILD_DIR, "--strip",
                       "--prefix", "/usr/local"});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    const std::string program = scratch.path() + "/usr/local/bin/pellix";
    ASSERT_TRUE(isExecutableFile(program));
    auto sections = run({tool("readelf"), "--section-headers", "--wide", program});
    ASSERT_EQ(sections.exitStatus, 0) << sections.output;
    EXPECT_EQ(sections.output.find(".debug_"), std::string::npos) << sections.output;
    EXPECT_EQ(sections.output.find(".symtab"), std::string::npos) << sections.output;
    EXPECT_LT(fs::file_size(program), fs::file_size(PELLIX_BINARY));
    expectUnitSandboxed(readFile(scratch.path() + "/usr/local/lib/systemd/user/pellix.service"));
}

}  // namespace
}  // namespace packaging
