// Tools of the installation tests: a private scratch directory, running the build's own tools,
// listing what an install left behind, and reading a systemd unit.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Keychain/Subprocess.h"

namespace packaging {

namespace fs = std::filesystem;

// A directory of its own below /tmp, removed with everything in it at the end of the test.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string templ = (fs::temp_directory_path() / "pellix-packaging-XXXXXX").string();
        if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool made() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The path of an installed tool; a failure of the test when it is missing.
inline std::string tool(const std::string& name) {
    auto path = platform::Subprocess::findInPath(name);
    if (!path) ADD_FAILURE() << name << " is not installed (scripts/install-deps installs it)";
    return path.value_or(name);
}

// Runs a program to its end, its output kept for the failure message.
inline platform::Subprocess::Result run(const std::vector<std::string>& arguments) {
    auto result = platform::Subprocess::run(arguments);
    EXPECT_TRUE(result.started) << result.output;
    return result;
}

// The regular files below root, as paths relative to it ("usr/bin/pellix").
inline std::set<std::string> regularFiles(const std::string& root) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), root).string());
    }
    return files;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0111;
}

// A unit file as section -> key -> the values the key was given, in order. Comments and blank
// lines are left out; values are kept as written.
using Unit = std::map<std::string, std::map<std::string, std::vector<std::string>>>;

inline Unit parseUnit(const std::string& text) {
    Unit unit;
    std::string section;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        unit[section][line.substr(0, equals)].push_back(line.substr(equals + 1));
    }
    return unit;
}

// What the unit must say wherever it is installed: start the program at programPath with no
// options, restart it when it fails, and be started with the user's session.
inline void expectUnitStarts(const std::string& unitText, const std::string& programPath) {
    Unit unit = parseUnit(unitText);
    EXPECT_EQ(unit["Service"]["ExecStart"], std::vector<std::string>{programPath}) << unitText;
    EXPECT_EQ(unit["Service"]["Restart"], std::vector<std::string>{"on-failure"}) << unitText;
    EXPECT_EQ(unit["Install"]["WantedBy"], std::vector<std::string>{"default.target"}) << unitText;
    EXPECT_FALSE(unit["Unit"]["Description"].empty()) << unitText;
}

// The sandbox the unit sets up, which a user's service manager can set up without namespaces:
// no new privileges, private files, the four address families pellix uses and nothing that
// would hide the home or temporary folders it writes.
inline void expectUnitSandboxed(const std::string& unitText) {
    Unit unit = parseUnit(unitText);
    auto& service = unit["Service"];
    const std::pair<const char*, const char*> settings[] = {
        {"NoNewPrivileges", "yes"},
        {"UMask", "0077"},
        {"LockPersonality", "yes"},
        {"RestrictAddressFamilies", "AF_UNIX AF_INET AF_INET6 AF_NETLINK"},
        {"RestrictNamespaces", "yes"},
        {"RestrictSUIDSGID", "yes"},
        {"MemoryDenyWriteExecute", "yes"},
        {"SystemCallArchitectures", "native"},
    };
    for (const auto& [key, value] : settings) {
        EXPECT_EQ(service[key], std::vector<std::string>{value}) << key << "\n" << unitText;
    }
    for (const char* hiding : {"ProtectHome", "PrivateTmp", "ProtectSystem", "PrivateUsers"}) {
        EXPECT_TRUE(service[hiding].empty()) << hiding << "\n" << unitText;
    }
}

}  // namespace packaging
