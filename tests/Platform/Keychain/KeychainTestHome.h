// Test fixture pieces for the keychain code: a temporary HOME and XDG_DATA_HOME (so no test
// touches the real user's keychain or NSS database), captured plain log lines, standard output
// captured into a file, and quick EC identities for store tests.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "Platform/Keychain/Identity.h"
#include "Platform/Keychain/TrustSettings.h"
#include "Platform/PlainLog.h"
#include "tools/LogCapture.h"

namespace keychain_test {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Standard output goes to a file while the object lives.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string& path) : path_(path) {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutCapture() { restore(); }
    std::string finish() {
        restore();
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline mode_t modeOf(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// A temporary home: HOME and XDG_DATA_HOME point into it, certutil is off unless a test turns
// it on, and log lines are captured.
class TemporaryHome : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pellix-keychain-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        home_ = std::make_unique<ScopedEnv>("HOME", root_ + "/home");
        xdg_ = std::make_unique<ScopedEnv>("XDG_DATA_HOME", root_ + "/data");
        std::filesystem::create_directories(root_ + "/home");
        platform::TrustSettings::setCertutilProgram(std::string());
        log_ = std::make_unique<testtools::LogCapture>();
    }
    void TearDown() override {
        log_.reset();
        platform::TrustSettings::setCertutilProgram(std::nullopt);
        xdg_.reset();
        home_.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string storeDir() const { return root_ + "/data/pellix/keychains"; }

    std::string root_;
    std::unique_ptr<ScopedEnv> home_;
    std::unique_ptr<ScopedEnv> xdg_;
    std::unique_ptr<testtools::LogCapture> log_;
};

// A pseudo-terminal whose other side is still locked: opening slavePath() fails with EIO, a
// reason that may pass by itself, whatever else the process does meanwhile. A link to it puts
// such a file where the store wants to open one.
class LockedTerminal {
public:
    LockedTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0) return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
    }
    ~LockedTerminal() {
        if (master_ >= 0) ::close(master_);
    }
    LockedTerminal(const LockedTerminal&) = delete;
    LockedTerminal& operator=(const LockedTerminal&) = delete;
    // Empty when no pseudo-terminal could be had.
    const std::string& slavePath() const { return slave_; }

private:
    int master_ = -1;
    std::string slave_;
};

// The label of a key without a print name (a named constant rather than a temporary
// std::nullopt, which GCC 12 misreads as uninitialised under the sanitizers).
inline const std::optional<std::string> kNoLabel;

// A quick identity: an EC P-256 key with a self-signed certificate named cn, and the given
// key label. Store tests care about labels and order, not about RSA.
inline std::shared_ptr<platform::Identity> makeIdentity(const std::optional<std::string>& label,
                                                        const std::string& cn = "test") {
    platform::EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    platform::X509Ptr cert(X509_new());
    static long serial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_sign(cert.get(), key.get(), EVP_sha256());
    return std::make_shared<platform::Identity>(std::make_shared<platform::KeychainKey>(std::move(key), label),
                                                std::make_shared<platform::Certificate>(std::move(cert)));
}

}  // namespace keychain_test
