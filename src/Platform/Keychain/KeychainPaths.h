// Where the keychain stand-in keeps its files, resolved from the environment on every call so
// that nothing about the location is cached (tests point HOME / XDG_DATA_HOME elsewhere).
//
//     data directory   $XDG_DATA_HOME/pellix, else $HOME/.local/share/pellix   (mode 0700)
//     store directory  <data directory>/keychains                               (mode 0700)
//     NSS database     $HOME/.pki/nssdb, the shared database Chromium-based browsers read
//
// An XDG_DATA_HOME that is empty or not absolute is ignored, as the XDG rules say. HOME falls
// back to the password database. Callable from any thread.
#pragma once

#include <optional>
#include <string>

namespace platform {

class KeychainPaths {
public:
    static std::optional<std::string> homeDirectory();
    static std::optional<std::string> dataDirectory();
    static std::optional<std::string> storeDirectory();
    static std::optional<std::string> nssDatabaseDirectory();
};

}  // namespace platform
