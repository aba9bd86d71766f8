#include "Keychain/FirefoxCertManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>
#include <utility>

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

// An open descriptor, closed with its owner.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes it now; false (errno set) when the close failed.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// The certificate file of one pass: written through a descriptor of the temporary directory,
// the one its check was made on, and held open for reading, so that the pass hands certutil
// the very file it wrote and removes it from the very directory it wrote it to, wherever
// another account may have moved that directory, and whatever it has put at its path.
class FirefoxCertManager::CertificateFile {
public:
    // Writes the bytes atomically to "certificate.der" in pellix's temporary directory; nothing,
    // after a log line with the reason, when the directory is not private to the user or the
    // file cannot be written.
    static std::optional<CertificateFile> write(const std::vector<std::uint8_t>& der);

    // The path it was written at.
    const std::string& path() const { return path_; }
    // The written file, open for reading.
    int descriptor() const { return file_.get(); }
    // Removes it from the directory it was written to (errors ignored).
    void remove() const { (void)::unlinkat(directory_.get(), kCertificateFileName.c_str(), 0); }

private:
    CertificateFile(Descriptor directory, Descriptor file, std::string path)
        : directory_(std::move(directory)), file_(std::move(file)), path_(std::move(path)) {}

    Descriptor directory_;
    Descriptor file_;
    std::string path_;
};

std::optional<FirefoxCertManager::CertificateFile> FirefoxCertManager::CertificateFile::write(
    const std::vector<std::uint8_t>& der) {
    const auto directoryPath = applicationTemporaryDirectory();
    Descriptor directory;
    if (directoryPath) {
        directory = Descriptor(::open(directoryPath->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    // The path was checked, but what it names may have changed since: what counts is the
    // directory this descriptor holds, which stays the one checked here.
    struct stat st {};
    if (directory.get() < 0 || ::fstat(directory.get(), &st) != 0 || st.st_uid != ::getuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        platform::plainLog("The certificate file cannot be written: there is no private temporary directory");
        return std::nullopt;
    }
    const std::string path = *directoryPath + "/" + kCertificateFileName;
    auto fail = [&](int error, const char* reason, const std::string& temporary) {
        if (!temporary.empty()) (void)::unlinkat(directory.get(), temporary.c_str(), 0);
        platform::plainLog("The certificate file %@ cannot be written: %@", path,
                           platform::posixError(error, reason).describe());
        return std::nullopt;
    };

    // A name of its own beside the file, made new (O_EXCL), so that readers of the file see the
    // old one or the whole new one.
    static std::atomic<unsigned> written{0};
    std::string temporary;
    Descriptor out;
    for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
        temporary = kCertificateFileName + "." + std::to_string(::getpid()) + "." + std::to_string(written++);
        out = Descriptor(::openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  0600));
        if (out.get() < 0 && errno != EEXIST) break;
    }
    if (out.get() < 0) return fail(errno, "The temporary file could not be created.", "");
    if (::fchmod(out.get(), 0600) != 0) return fail(errno, "The file mode could not be set.", temporary);
    if (!writeAll(out.get(), der)) return fail(errno, "The file could not be written.", temporary);
    if (::fsync(out.get()) != 0) return fail(errno, "The file could not be flushed.", temporary);
    if (!out.close()) return fail(errno, "The file could not be closed.", temporary);
    // Opened again by the name made above, in a directory nobody else may write to: the file
    // just written.
    Descriptor file(::openat(directory.get(), temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) return fail(errno, "The file could not be opened again.", temporary);
    if (::renameat(directory.get(), temporary.c_str(), directory.get(), kCertificateFileName.c_str()) != 0)
        return fail(errno, "The file could not be moved into place.", temporary);
    return CertificateFile(std::move(directory), std::move(file), path);
}

FirefoxCertManager& FirefoxCertManager::sharedManager() {
    static FirefoxCertManager manager;
    return manager;
}

FirefoxCertManager::FirefoxCertManager() : FirefoxCertManager(Options{}) {}

FirefoxCertManager::FirefoxCertManager(Options options) : options_(std::move(options)) {}

void FirefoxCertManager::updateFirefoxProfilesWithDer(const std::vector<std::uint8_t>& der, const std::string& certName) {
    std::lock_guard<std::mutex> pass(passMutex_);
    // certutil would add nothing from a file that is not there, and the pass would still count.
    const auto file = CertificateFile::write(der);
    if (!file) return;
    updateProfilesLocked(platform::Subprocess::kPassedFilePath, certName, file->descriptor());
    file->remove();
}

void FirefoxCertManager::updateFirefoxProfiles(const std::string& certificatePath, const std::string& certName) {
    std::lock_guard<std::mutex> pass(passMutex_);
    updateProfilesLocked(certificatePath, certName);
}

void FirefoxCertManager::updateProfilesLocked(const std::string& certificatePath, const std::string& certName,
                                              int passedFile) {
    if (profilesUpdated_) return;
    for (const auto& user : getUsers()) {
        const auto profiles = getFirefoxProfileFolders(user);
        if (!profiles) continue;
        for (const auto& profile : *profiles) {
            if (containsCertificateWithName(certName, profile)) continue;
            // Only an add that ran counts: without the tool the next call tries again.
            if (addCertificate(certificatePath, profile, certName, passedFile)) profilesUpdated_ = true;
        }
    }
}

bool FirefoxCertManager::addCertificate(const std::string& certificatePath, const std::string& profilePath,
                                        const std::string& certName) {
    return addCertificate(certificatePath, profilePath, certName, -1);
}

bool FirefoxCertManager::addCertificate(const std::string& certificatePath, const std::string& profilePath,
                                        const std::string& certName, int passedFile) {
    if (!certUtilInstalled()) {
        platform::plainLog("Error! Could not found certutil.");
        return false;
    }
    return runTool({options_.certutilPath, "-A", "-n", certName, "-i", certificatePath, "-t", "C,u,u", "-d", profilePath},
                   passedFile)
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
    const auto file = CertificateFile::write(der);
    if (!file) return std::nullopt;
    return file->path();
}

std::optional<std::string> FirefoxCertManager::applicationTemporaryDirectory() {
    return OVKeychain::applicationTemporaryDirectory();
}

std::optional<int> FirefoxCertManager::runTool(const std::vector<std::string>& arguments, int passedFile) const {
    auto child = platform::Subprocess::spawn(arguments, passedFile);
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
