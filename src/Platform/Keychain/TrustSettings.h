// Trust settings of the keychain stand-in: per certificate and trust domain, the list of
// settings dictionaries a caller gave (for the server certificate one dictionary,
// {"kSecTrustSettingsResult": 1}, trust as root).
//
// The settings are kept in <store directory>/trust-settings-<domain>.json (0600, atomic
// writes). A setting whose result is a root result (1 or 2) in the user or admin domain is also
// carried into the user's shared NSS database ($HOME/.pki/nssdb, made when missing), as a
// trusted peer with trust flags "P,,", where the NSS certutil tool is installed: that database
// is the one Chromium-based browsers on Linux read. Without certutil only the store records the
// setting. certutil gets no terminal and no standard input (the certificate goes to it in a
// private file) and has a time-out, after which it is ended. A failing or overrunning certutil
// makes the call fail (kKeychainToolFailed, with a plain log line); the store keeps the
// recorded setting either way.
//
// Callable from any thread; calls are serialised inside. The certutil step blocks the caller
// until the tool has finished.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Keychain/Certificate.h"
#include "Platform/Keychain/KeychainStatus.h"

namespace platform {

enum class TrustSettingsDomain { User = 0, Admin = 1, System = 2 };

inline constexpr const char* kTrustSettingsResultKey = "kSecTrustSettingsResult";
inline constexpr long kTrustSettingsResultTrustRoot = 1;
inline constexpr long kTrustSettingsResultTrustAsRoot = 2;
inline constexpr long kTrustSettingsResultDeny = 3;

using TrustSettingsEntry = std::map<std::string, long>;

class TrustSettings {
public:
    // Replaces the certificate's settings in the domain. The system domain is read-only
    // (kKeychainParam). A settings file that cannot be read or written for a passing reason
    // fails with kKeychainUnreadableForNow or kKeychainUnwritableForNow, the settings unchanged.
    static OSStatus setTrustSettings(const Certificate& certificate, TrustSettingsDomain domain,
                                     const std::vector<TrustSettingsEntry>& settings);
    // kKeychainItemNotFound when the certificate has no settings in the domain.
    static OSStatus copyTrustSettings(const Certificate& certificate, TrustSettingsDomain domain,
                                      std::vector<TrustSettingsEntry>& settings);

    // The nickname under which the certificate goes into the NSS database: its common name and
    // the start of its SHA-256 fingerprint, so that every certificate gets a name of its own.
    static std::string nssNickname(const Certificate& certificate);

    // Test seam: the certutil program to run. std::nullopt (the default) looks up "certutil" in
    // $PATH on each call; an empty text behaves as if the tool were not installed.
    static void setCertutilProgram(std::optional<std::string> program);
    // Test seam: how long one certutil run may take (Subprocess::kDefaultTimeout by default).
    static void setCertutilTimeout(std::chrono::milliseconds timeout);
};

}  // namespace platform
