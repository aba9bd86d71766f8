#include "Platform/Keychain/KeychainPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform {

std::optional<std::string> KeychainPaths::homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/') {
        return std::string(found->pw_dir);
    }
    return std::nullopt;
}

std::optional<std::string> KeychainPaths::dataDirectory() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/pellix";
    auto home = homeDirectory();
    if (!home) return std::nullopt;
    return *home + "/.local/share/pellix";
}

std::optional<std::string> KeychainPaths::storeDirectory() {
    auto data = dataDirectory();
    if (!data) return std::nullopt;
    return *data + "/keychains";
}

std::optional<std::string> KeychainPaths::nssDatabaseDirectory() {
    auto home = homeDirectory();
    if (!home) return std::nullopt;
    return *home + "/.pki/nssdb";
}

}  // namespace platform
