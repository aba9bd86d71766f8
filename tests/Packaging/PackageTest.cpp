// The Debian package cpack makes of this build tree: the program and its user unit and nothing
// else, the unit naming /usr/bin/pellix, and control fields with the version, a dependency on
// the package of every shared library the program links, and the PC/SC service and certutil
// recommended.
#include "Packaging/InstalledFiles.h"

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace packaging {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) result.push_back(line);
    }
    return result;
}

std::string trimmed(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\n");
    auto end = text.find_last_not_of(" \t\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// The package names of a Depends or Recommends field, alternatives and versions left out:
// "libc6 (>= 2.34), libssl3 (>= 3.0.0)" gives {"libc6", "libssl3"}.
std::set<std::string> packageNames(const std::string& field) {
    std::set<std::string> names;
    std::string entry;
    std::istringstream in(field);
    while (std::getline(in, entry, ',')) {
        std::istringstream alternatives(entry);
        for (std::string alternative; std::getline(alternatives, alternative, '|');) {
            std::istringstream words(alternative);
            std::string name;
            if (words >> name) names.insert(name.substr(0, name.find(':')));
        }
    }
    return names;
}

// The packages that hold the shared libraries a program links (its DT_NEEDED entries), by
// the package system's own record of which package installed which file: one set of owners
// per library, since a library can sit in more than one place.
std::map<std::string, std::set<std::string>> packagesOfLinkedLibraries(const std::string& program) {
    std::map<std::string, std::set<std::string>> owners;
    auto dynamic = run({tool("readelf"), "--dynamic", "--wide", program});
    EXPECT_EQ(dynamic.exitStatus, 0) << dynamic.output;
    for (const auto& line : lines(dynamic.output)) {
        // 0x0000000000000001 (NEEDED)             Shared library: [libssl.so.3]
        if (line.find("(NEEDED)") == std::string::npos) continue;
        auto open = line.find('['), close = line.find(']');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string library = line.substr(open + 1, close - open - 1);
        auto search = run({tool("dpkg"), "--search", "*/" + library});
        EXPECT_EQ(search.exitStatus, 0) << library << ": " << search.output;
        for (const auto& owner : lines(search.output)) {
            // libssl3:amd64: /usr/lib/x86_64-linux-gnu/libssl.so.3 (several owners: "a, b: path")
            for (const auto& name : packageNames(owner.substr(0, owner.find(": ")))) owners[library].insert(name);
        }
    }
    return owners;
}

TEST(PackageTest, DebianPackageHoldsTheProgramAndItsUnitWithTheirDependencies) {
    auto dpkgDeb = platform::Subprocess::findInPath("dpkg-deb");
    if (!dpkgDeb) GTEST_SKIP() << "dpkg-deb is not installed, so the package cannot be read";
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.made());

    auto cpack = run({PELLIX_CPACK, "-G", "DEB", "--config", std::string(PELLIX_BUILD_DIR) + "/CPackConfig.cmake", "-B",
                      scratch.path()});
    ASSERT_EQ(cpack.exitStatus, 0) << cpack.output;
    auto architecture = run({tool("dpkg"), "--print-architecture"});
    ASSERT_EQ(architecture.exitStatus, 0) << architecture.output;
    const std::string package =
        scratch.path() + "/pellix_" + PELLIX_VERSION + "_" + trimmed(architecture.output) + ".deb";
    ASSERT_TRUE(fs::is_regular_file(package)) << package << " was not made:\n" << cpack.output;

    // Only the program and the unit, owned by root, the program executable by all.
    auto contents = run({*dpkgDeb, "--contents", package});
    ASSERT_EQ(contents.exitStatus, 0) << contents.output;
    std::map<std::string, std::string> files;  // path -> "mode owner"
    for (const auto& line : lines(contents.output)) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        if (mode.front() == '-') files[path] = mode + " " + owner;
    }
    EXPECT_EQ(files, (std::map<std::string, std::string>{
                         {"./usr/bin/pellix", "-rwxr-xr-x root/root"},
                         {"./usr/lib/systemd/user/pellix.service", "-rw-r--r-- root/root"},
                     }))
        << contents.output;

    const std::string unpacked = scratch.path() + "/unpacked";
    auto extract = run({*dpkgDeb, "--extract", package, unpacked});
    ASSERT_EQ(extract.exitStatus, 0) << extract.output;
    expectUnitStarts(readFile(unpacked + "/usr/lib/systemd/user/pellix.service"), "/usr/bin/pellix");
    expectUnitSandboxed(readFile(unpacked + "/usr/lib/systemd/user/pellix.service"));

    auto field = [&](const std::string& name) {
        auto result = run({*dpkgDeb, "--field", package, name});
        EXPECT_EQ(result.exitStatus, 0) << name << ": " << result.output;
        return trimmed(result.output);
    };
    EXPECT_EQ(field("Package"), "pellix");
    EXPECT_EQ(field("Version"), PELLIX_VERSION);
    EXPECT_EQ(field("Architecture"), trimmed(architecture.output));
    EXPECT_NE(field("Maintainer"), "");
    EXPECT_EQ(packageNames(field("Recommends")), (std::set<std::string>{"pcscd", "libnss3-tools"}));

    // Every library the packaged program links comes with a dependency on its package, each
    // with the lowest version dpkg-shlibdeps found in that package's shlibs.
    const std::string depends = field("Depends");
    const std::set<std::string> dependencies = packageNames(depends);
    auto linked = packagesOfLinkedLibraries(unpacked + "/usr/bin/pellix");
    EXPECT_FALSE(linked.empty());
    for (const auto& [library, packages] : linked) {
        SCOPED_TRACE(library);
        bool named = false;
        for (const auto& p : packages) named = named || dependencies.count(p) > 0;
        EXPECT_TRUE(named) << "Depends: " << depends;
    }
    // libcurl is opened on first use, not linked: the package names it by itself.
    EXPECT_EQ(dependencies.count("libcurl4"), 1u) << "Depends: " << depends;
    std::istringstream entries(depends);
    for (std::string entry; std::getline(entries, entry, ',');) {
        EXPECT_NE(entry.find("(>= "), std::string::npos) << "no version from the shlibs: " << entry;
    }
}

}  // namespace
}  // namespace packaging
