#include "Keychain/FirefoxCertManager.h"

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "Keychain/OVKeychain.h"
#include "Platform/Error.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Keychain/Subprocess.h"
#include "Platform/PlainLog.h"

namespace {

constexpr std::chrono::milliseconds kPollInterval{50};

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The path without "." components, doubled or trailing separators, and with ".." taken back
// where it can be.
std::string standardized(const std::string& path) {
    std::string text = std::filesystem::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

FirefoxCertManager& FirefoxCertManager::sharedManager() {
    static FirefoxCertManager manager;
    return manager;
}

FirefoxCertManager::FirefoxCertManager() : FirefoxCertManager(Options{}) {}

FirefoxCertManager::FirefoxCertManager(Options options) : options_(std::move(options)) {}

void FirefoxCertManager::updateFirefoxProfilesWithDer(const std::vector<std::uint8_t>& der, const std::string& certName) {
    std::lock_guard<std::mutex> pass(passMutex_);
    // certutil would add nothing from a file that is not there, and the pass would still count.
    const auto path = writeCertFile(der);
    if (!path) return;
    updateProfilesLocked(*path, certName);
    (void)platform::FileManager::removeItemAtPath(*path);
}

void FirefoxCertManager::updateFirefoxProfiles(const std::string& certificatePath, const std::string& certName) {
    std::lock_guard<std::mutex> pass(passMutex_);
    updateProfilesLocked(certificatePath, certName);
}

void FirefoxCertManager::updateProfilesLocked(const std::string& certificatePath, const std::string& certName) {
    if (profilesUpdated_) return;
    for (const auto& user : getUsers()) {
        const auto profiles = getFirefoxProfileFolders(user);
        if (!profiles) continue;
        for (const auto& profile : *profiles) {
            if (containsCertificateWithName(certName, profile)) continue;
            // Only an add that ran counts: without the tool the next call tries again.
            if (addCertificate(certificatePath, profile, certName)) profilesUpdated_ = true;
        }
    }
}

bool FirefoxCertManager::addCertificate(const std::string& certificatePath, const std::string& profilePath,
                                        const std::string& certName) {
    if (!certUtilInstalled()) {
        platform::plainLog("Error! Could not found certutil.");
        return false;
    }
    return runTool({options_.certutilPath, "-A", "-n", certName, "-i", certificatePath, "-t", "C,u,u", "-d", profilePath})
        .has_value();
}

bool FirefoxCertManager::containsCertificateWithName(const std::string& certName, const std::string& profilePath) {
    if (!certUtilInstalled()) return false;
    return runTool({options_.certutilPath, "-L", "-n", certName, "-d", standardized(profilePath)}) == 0;
}

bool FirefoxCertManager::profileContainsCertificateWithName(const std::string& certName) {
    bool all = true;
    for (const auto& user : getUsers()) {
        const auto profiles = getFirefoxProfileFolders(user);
        if (!profiles) continue;
        for (const auto& profile : *profiles) all = containsCertificateWithName(certName, profile) && all;
    }
    return all;
}

std::vector<std::string> FirefoxCertManager::getUsers() const {
    std::vector<std::string> users;
    const auto entries = platform::FileManager::contentsOfDirectoryAtPath(options_.userRoot);
    if (!entries) return users;
    for (const auto& name : *entries) {
        if (name == "Shared" || name.starts_with(".")) continue;
        if (isDirectory((std::filesystem::path(options_.userRoot) / name).string())) users.push_back(name);
    }
    return users;
}

std::optional<std::vector<std::string>> FirefoxCertManager::getFirefoxProfileFolders(const std::string& user) const {
    const std::string directory =
        (std::filesystem::path(options_.userRoot) / user / kProfilesDirectory).string();
    std::error_code error;
    std::filesystem::directory_iterator it(directory, error);
    if (error) {
        platform::plainLog("%@", platform::posixError(error.value(), "The folder " + directory + " cannot be listed.").describe());
        return std::nullopt;
    }
    std::vector<std::string> profiles;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (isProfileFolder(name)) profiles.push_back(directory + "/" + name);
    }
    return profiles;
}

bool FirefoxCertManager::isProfileFolder(const std::string& name) {
    return name.ends_with(".default") && name.find('.') != 0;
}

bool FirefoxCertManager::certUtilInstalled() const {
    return platform::FileManager::fileExistsAtPath(options_.certutilPath);
}

std::optional<std::string> FirefoxCertManager::writeCertFile(const std::vector<std::uint8_t>& der) const {
    const auto directory = applicationTemporaryDirectory();
    if (!directory) {
        platform::plainLog("The certificate file cannot be written: there is no private temporary directory");
        return std::nullopt;
    }
    const std::string path = *directory + "/" + kCertificateFileName;
    if (auto error = platform::FileManager::writeAtomically(path, der)) {
        platform::plainLog("The certificate file %@ cannot be written: %@", path, error->describe());
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> FirefoxCertManager::applicationTemporaryDirectory() {
    return OVKeychain::applicationTemporaryDirectory();
}

std::optional<int> FirefoxCertManager::runTool(const std::vector<std::string>& arguments) const {
    auto child = platform::Subprocess::spawn(arguments);
    if (!child) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + options_.toolTimeout;
    while (child->running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            child->terminate();
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return child->exitStatus();
}
