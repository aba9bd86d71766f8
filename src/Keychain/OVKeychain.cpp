#include "Keychain/OVKeychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Platform/Files/TemporaryDirectory.h"
#include "Platform/Keychain/Keychain.h"
#include "Platform/Keychain/Pkcs12Import.h"
#include "Platform/Keychain/StoreFile.h"
#include "Platform/Keychain/Subprocess.h"
#include "Platform/Keychain/TrustSettings.h"
#include "Platform/PlainLog.h"
#include "Util/OpenSSLProxy.h"

namespace {

// The label bytes read as ISO Latin 1, in the UTF-8 the names are written in.
std::string latin1ToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace

std::optional<OVKeychain::IdentityArray> OVKeychain::sslIdentityAndCertificates(const std::string& name,
                                                                                platform::OSStatus* status) {
    platform::OSStatus lookup = platform::kKeychainSuccess;
    auto result = identityAndCertificates(name, &lookup);
    if (lookup == platform::kKeychainUnreadableForNow) {
        // The identity may well be there: one made now would stand beside it and be trusted too.
        platform::plainLog("The keychain cannot be read for now; no new certificate for %@ is made", name);
        if (status) *status = lookup;
        return std::nullopt;
    }
    if (!result || result->empty()) {
        platform::OSStatus made = platform::kKeychainSuccess;
        addIdentity(name, &made);
        if (platform::failsForNow(made)) {
            // Looking again would find nothing and serve this connection without TLS; the next
            // connection makes the identity once the store can be written again.
            platform::plainLog("The new certificate for %@ cannot be stored for now; it is made again later", name);
            if (status) *status = made;
            return std::nullopt;
        }
        result = identityAndCertificates(name, &lookup);
    }
    if (status) *status = lookup;
    return result;
}

std::optional<OVKeychain::IdentityArray> OVKeychain::identityAndCertificates(const std::string& name,
                                                                             platform::OSStatus* status) {
    std::vector<std::shared_ptr<platform::Identity>> all;
    const platform::OSStatus query = platform::Keychain::copyMatchingIdentities(all);
    if (status) *status = query;
    if (query != platform::kKeychainSuccess || all.empty()) return std::nullopt;
    IdentityArray found;
    for (const auto& candidate : all) {
        // Every identity is tested, as the keychain lists them; only the first match is kept.
        if (identity(candidate, name) && found.empty()) found.push_back(candidate);
    }
    return found;
}

bool OVKeychain::identity(const std::shared_ptr<platform::Identity>& identity, const std::string& matchesName) {
    if (!identity) return false;
    auto key = identity->copyPrivateKey();
    if (!key) return false;
    const auto& printName = key->printName();
    if (!printName) return false;
    return latin1ToUtf8(*printName).starts_with(matchesName);
}

void OVKeychain::addIdentity(const std::string& name, platform::OSStatus* status) {
    const auto outcome = [status](platform::OSStatus value) {
        if (status) *status = value;
    };
    platform::plainLog("Adding new certificate for %@", name);
    auto data = OpenSSLProxy::makeCertificate(name, kPassphrase);
    std::shared_ptr<platform::Identity> identity;
    std::shared_ptr<platform::Trust> trust;
    platform::OSStatus imported = platform::kKeychainDecode;
    if (data) imported = extractIdentityAndTrust(*data, identity, trust, kPassphrase);
    if (!identity) {
        outcome(imported != platform::kKeychainSuccess ? imported : platform::kKeychainDecode);
        return;
    }

    platform::OSStatus stored = platform::kKeychainSuccess;
    const auto ref = persistentRefForIdentity(identity, &stored);
    if (platform::failsForNow(stored)) {
        outcome(stored);  // nothing was stored
        return;
    }
    auto certificate = identity->copyCertificate();
    if (!certificate) {
        outcome(platform::kKeychainParam);
        return;
    }
    // The identity counts as added only when the lookup that follows finds it. Otherwise (the
    // default keychain is not searched, the store did not take it) every later connection would
    // make one more identity, and none of them would ever serve TLS.
    platform::OSStatus lookup = platform::kKeychainSuccess;
    const auto found = identityAndCertificates(name, &lookup);
    if (platform::failsForNow(lookup)) {
        // Whether later lookups find it is not known yet; the next connection makes it again.
        platform::plainLog("The new certificate for %@ cannot be looked up for now; it is not used", name);
        if (ref) (void)platform::Keychain::deleteItem(*ref);
        outcome(lookup);
        return;
    }
    if (!found || found->empty() || found->front()->certificate()->sha256Hex() != certificate->sha256Hex()) {
        platform::plainLog("The new certificate for %@ cannot be found in the keychain; it is not used", name);
        if (ref) (void)platform::Keychain::deleteItem(*ref);
        outcome(stored != platform::kKeychainSuccess ? stored : platform::kKeychainItemNotFound);
        return;
    }
    const std::vector<platform::TrustSettingsEntry> trustAsRoot{
        {{platform::kTrustSettingsResultKey, platform::kTrustSettingsResultTrustRoot}}};
    platform::OSStatus trusted =
        platform::TrustSettings::setTrustSettings(*certificate, platform::TrustSettingsDomain::Admin, trustAsRoot);
    if (trusted != platform::kKeychainSuccess) {
        platform::plainLog("Could not change the trust setting for a certificate. Error: %d", trusted);
        // Found from now on, the identity would never be trusted: when the setting failed only
        // for now, it goes again and the next connection makes a whole one. Where it cannot be
        // removed either, it stays and is used, as after any failed trust setting.
        if (platform::failsForNow(trusted) && ref && platform::Keychain::deleteItem(*ref) == platform::kKeychainSuccess) {
            outcome(trusted);
            return;
        }
    }
    outcome(platform::kKeychainSuccess);
}

std::optional<std::vector<std::uint8_t>> OVKeychain::persistentRefForIdentity(
    const std::shared_ptr<platform::Identity>& identity, platform::OSStatus* status) {
    if (status) *status = platform::kKeychainParam;
    if (!identity) return std::nullopt;
    std::vector<std::uint8_t> ref;
    const platform::OSStatus added =
        platform::Keychain::addIdentity(*identity, platform::Keychain::Accessibility::Always, &ref);
    if (status) *status = added;
    if (added != platform::kKeychainSuccess) return std::nullopt;
    return ref;
}

void OVKeychain::addCertificate(const std::string&) {}

std::optional<std::string> OVKeychain::applicationTemporaryDirectory() {
    auto base = platform::TemporaryDirectory::path();
    if (!base) return std::nullopt;
    std::string dir = platform::TemporaryDirectory::join(*base, "Pellix");
    (void)platform::StoreFile::makeDirectories(dir);
    // $TMPDIR may name a folder that other accounts share: a "Pellix" folder that someone else
    // made or may write to would let them swap a certificate before certutil trusts it.
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        platform::plainLog("The temporary directory %@ cannot be used: %@", dir, std::strerror(errno));
        return std::nullopt;
    }
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!statted || st.st_uid != ::getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        platform::plainLog("The temporary directory %@ is not private to this user (owner %d, mode %o); it is not used",
                           dir, static_cast<long>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
        return std::nullopt;
    }
    return dir;
}

std::optional<std::vector<std::uint8_t>> OVKeychain::dataFromIdentity(const std::string& name) {
    auto dir = applicationTemporaryDirectory();
    if (!dir) return std::nullopt;
    const std::string openssl = "/usr/bin/openssl";
    const std::string keyPath = *dir + "/private.pem";
    const std::string configPath = *dir + "/req.conf";
    const std::string certificatePath = *dir + "/certificate.crt";
    const std::string containerPath = *dir + "/certificate.p12";

    platform::Subprocess::run({openssl, "genrsa", "-out", keyPath, "1024"});
    {
        static const char* const lines[] = {
            "[ req ]",
            "distinguished_name  = req_distinguished_name",
            "prompt              = no",
            "x509_extensions     = v3_ca",
            "",
            "[ req_distinguished_name ]",
            "C                   = NO",
            "O                   = Orvane",
            "OU                  = Pellix",
            "",
            "[ v3_ca ]",
            "subjectAltName\t= @alternate_names",
            "extendedKeyUsage\t= clientAuth, serverAuth",
            "keyUsage\t\t\t= critical, digitalSignature, keyEncipherment",
            "basicConstraints\t= critical, CA:FALSE",
            "",
            "[ alternate_names ]",
            "IP\t\t\t\t= 127.0.0.1",
            "DNS\t\t\t\t= localhost",
        };
        std::ofstream config(configPath, std::ios::trunc);
        for (const char* line : lines) config << line << '\n';
    }
    platform::Subprocess::run({openssl, "req", "-new", "-x509", "-sha256", "-key", keyPath, "-config", configPath, "-out",
                               certificatePath, "-text", "-days", "365", "-batch"});
    platform::Subprocess::run({openssl, "pkcs12", "-export", "-in", certificatePath, "-inkey", keyPath, "-passout",
                               "pass:lanterns", "-out", containerPath, "-name", name});

    std::optional<std::vector<std::uint8_t>> data;
    {
        std::ifstream in(containerPath, std::ios::binary);
        if (in) data.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const auto* path : {&keyPath, &configPath, &certificatePath, &containerPath}) std::remove(path->c_str());
    return data;
}

platform::OSStatus extractIdentityAndTrust(const std::vector<std::uint8_t>& data,
                                           std::shared_ptr<platform::Identity>& identity,
                                           std::shared_ptr<platform::Trust>& trust,
                                           const std::optional<std::string>& passphrase) {
    platform::Pkcs12ImportOptions options;
    options.passphrase = passphrase;
    std::vector<platform::Pkcs12ImportItem> items;
    platform::OSStatus status = platform::pkcs12Import(data, options, items);
    if (status == platform::kKeychainSuccess && !items.empty()) {
        identity = items.front().identity;
        trust = items.front().trust;
    }
    return status;
}
