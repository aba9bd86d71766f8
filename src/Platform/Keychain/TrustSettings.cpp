#include "Platform/Keychain/TrustSettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Platform/Keychain/KeychainPaths.h"
#include "Platform/Keychain/StoreFile.h"
#include "Platform/Keychain/Subprocess.h"
#include "Platform/PlainLog.h"

namespace platform {

namespace {

using nlohmann::json;

std::mutex& trustMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::string>& certutilOverride() {
    static std::optional<std::string> program;
    return program;
}

std::chrono::milliseconds& certutilTimeoutValue() {
    static std::chrono::milliseconds timeout = Subprocess::kDefaultTimeout;
    return timeout;
}

std::chrono::milliseconds certutilTimeout() {
    std::lock_guard<std::mutex> lock(trustMutex());
    return certutilTimeoutValue();
}

const char* domainName(TrustSettingsDomain domain) {
    switch (domain) {
        case TrustSettingsDomain::User: return "user";
        case TrustSettingsDomain::Admin: return "admin";
        case TrustSettingsDomain::System: return "system";
    }
    return "unknown";
}

// Reads the domain's file into doc (an empty list when missing); reports a bad file.
OSStatus readDomain(const std::string& path, json& doc) {
    auto file = StoreFile::read(path);
    if (file.status == StoreFile::ReadStatus::Missing) {
        doc = {{"certificates", json::array()}};
        return kKeychainSuccess;
    }
    if (file.status == StoreFile::ReadStatus::Failed) {
        plainLog("Keychain store %@ is unreadable: %@", path, file.error);
        return file.passing ? kKeychainUnreadableForNow : kKeychainIOError;
    }
    doc = json::parse(file.contents, nullptr, false);
    bool ok = !doc.is_discarded() && doc.is_object() && doc.contains("certificates") && doc["certificates"].is_array();
    if (ok) {
        for (const auto& entry : doc["certificates"]) {
            if (!entry.is_object() || !entry.contains("sha256") || !entry["sha256"].is_string() ||
                !entry.contains("settings") || !entry["settings"].is_array()) {
                ok = false;
                break;
            }
        }
    }
    if (!ok) {
        plainLog("Keychain store %@ is unreadable: %@", path, "not a trust settings list");
        return kKeychainDecode;
    }
    return kKeychainSuccess;
}

bool trustsAsRoot(const std::vector<TrustSettingsEntry>& settings) {
    for (const auto& entry : settings) {
        auto it = entry.find(kTrustSettingsResultKey);
        if (it != entry.end() &&
            (it->second == kTrustSettingsResultTrustRoot || it->second == kTrustSettingsResultTrustAsRoot)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> certutilProgram() {
    std::lock_guard<std::mutex> lock(trustMutex());
    if (certutilOverride()) {
        if (certutilOverride()->empty()) return std::nullopt;
        return *certutilOverride();
    }
    return Subprocess::findInPath("certutil");
}

bool runCertutil(const std::vector<std::string>& arguments) {
    auto result = Subprocess::run(arguments, {}, certutilTimeout());
    if (result.started && result.exitStatus == 0) return true;
    if (result.timedOut) {
        plainLog("certutil did not finish within %d ms and was ended", static_cast<int>(certutilTimeout().count()));
        return false;
    }
    std::string output = result.output;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    for (char& c : output) {
        if (c == '\n' || c == '\r') c = ' ';  // one log line per failure
    }
    plainLog("certutil failed (exit status %d): %@", result.exitStatus, output);
    return false;
}

// The certificate in a private file for certutil's -i: the tool gets nothing on its standard
// input. Removed when the object goes.
class CertificateFile {
public:
    CertificateFile(const std::string& directory, const std::string& pem) {
        std::string pattern = directory + "/.certutil-XXXXXX.pem";
        int fd = ::mkstemps(pattern.data(), 4);
        if (fd < 0) {
            error_ = std::string("cannot create ") + pattern + ": " + std::strerror(errno);
            return;
        }
        path_ = pattern;
        size_t done = 0;
        while (done < pem.size()) {
            ssize_t n = ::write(fd, pem.data() + done, pem.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = std::string("cannot write ") + path_ + ": " + std::strerror(errno);
                break;
            }
            done += static_cast<size_t>(n);
        }
        ::close(fd);
    }
    ~CertificateFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    CertificateFile(const CertificateFile&) = delete;
    CertificateFile& operator=(const CertificateFile&) = delete;

    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    std::string path_;
    std::string error_;
};

OSStatus addToNssDatabase(const Certificate& certificate, const std::string& certutil) {
    auto dir = KeychainPaths::nssDatabaseDirectory();
    auto store = KeychainPaths::storeDirectory();
    if (!dir || !store) return kKeychainNotAvailable;
    if (auto err = StoreFile::makeDirectories(*dir)) {
        plainLog("Cannot prepare the NSS database %@: %@", *dir, *err);
        return kKeychainIOError;
    }
    const std::string database = "sql:" + *dir;
    struct stat st;
    if (::stat((*dir + "/cert9.db").c_str(), &st) != 0) {
        if (!runCertutil({certutil, "-N", "-d", database, "--empty-password"})) return kKeychainToolFailed;
    }
    CertificateFile file(*store, certificate.pem());
    if (!file.error().empty()) {
        plainLog("Cannot prepare the NSS database %@: %@", *dir, file.error());
        return kKeychainIOError;
    }
    if (!runCertutil({certutil, "-A", "-d", database, "-n", TrustSettings::nssNickname(certificate), "-t", "P,,", "-a",
                      "-i", file.path()})) {
        return kKeychainToolFailed;
    }
    return kKeychainSuccess;
}

}  // namespace

std::string TrustSettings::nssNickname(const Certificate& certificate) {
    std::string name = certificate.commonName();
    if (name.empty()) name = "pellix";
    return name + " " + certificate.sha256Hex().substr(0, 16);
}

void TrustSettings::setCertutilProgram(std::optional<std::string> program) {
    std::lock_guard<std::mutex> lock(trustMutex());
    certutilOverride() = std::move(program);
}

void TrustSettings::setCertutilTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(trustMutex());
    certutilTimeoutValue() = timeout;
}

OSStatus TrustSettings::setTrustSettings(const Certificate& certificate, TrustSettingsDomain domain,
                                         const std::vector<TrustSettingsEntry>& settings) {
    if (domain == TrustSettingsDomain::System) return kKeychainParam;
    const std::string sha256 = certificate.sha256Hex();
    const std::string pem = certificate.pem();
    if (sha256.empty() || pem.empty()) return kKeychainParam;
    {
        std::unique_lock<std::mutex> lock(trustMutex());
        auto store = KeychainPaths::storeDirectory();
        auto data = KeychainPaths::dataDirectory();
        if (!store || !data) return kKeychainNotAvailable;
        bool passing = false;
        const auto fileLock = StoreFile::lockForChange({*data, *store}, ".trust-lock", &passing);
        if (!fileLock) return passing ? kKeychainUnwritableForNow : kKeychainIOError;
        const std::string path = *store + "/trust-settings-" + domainName(domain) + ".json";
        json doc;
        if (OSStatus status = readDomain(path, doc); status != kKeychainSuccess) return status;
        json entry = {{"sha256", sha256},
                      {"commonName", certificate.commonName()},
                      {"certificate", pem},
                      {"settings", json(settings)}};
        bool replaced = false;
        for (auto& existing : doc["certificates"]) {
            if (existing["sha256"] == sha256) {
                existing = entry;
                replaced = true;
            }
        }
        if (!replaced) doc["certificates"].push_back(entry);
        std::string text;
        try {
            text = doc.dump(2) + "\n";
        } catch (const json::exception&) {
            return kKeychainParam;  // a common name that is not UTF-8
        }
        if (auto err = StoreFile::writeAtomically(path, text, 0600, &passing)) {
            plainLog("Keychain store %@ cannot be written: %@", path, *err);
            return passing ? kKeychainUnwritableForNow : kKeychainIOError;
        }
    }
    if (!trustsAsRoot(settings)) return kKeychainSuccess;
    auto certutil = certutilProgram();
    if (!certutil) return kKeychainSuccess;
    return addToNssDatabase(certificate, *certutil);
}

OSStatus TrustSettings::copyTrustSettings(const Certificate& certificate, TrustSettingsDomain domain,
                                          std::vector<TrustSettingsEntry>& settings) {
    settings.clear();
    std::lock_guard<std::mutex> lock(trustMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    json doc;
    const std::string path = *store + "/trust-settings-" + domainName(domain) + ".json";
    if (OSStatus status = readDomain(path, doc); status != kKeychainSuccess) return status;
    const std::string sha256 = certificate.sha256Hex();
    for (const auto& entry : doc["certificates"]) {
        if (entry["sha256"] != sha256) continue;
        for (const auto& s : entry["settings"]) {
            if (!s.is_object()) return kKeychainDecode;
            TrustSettingsEntry e;
            for (auto it = s.begin(); it != s.end(); ++it) {
                if (!it.value().is_number_integer()) return kKeychainDecode;
                e[it.key()] = it.value().get<long>();
            }
            settings.push_back(std::move(e));
        }
        return kKeychainSuccess;
    }
    return kKeychainItemNotFound;
}

}  // namespace platform
