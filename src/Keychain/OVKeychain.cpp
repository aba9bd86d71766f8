#include "Keychain/OVKeychain.h"

#include "Platform/Keychain/Keychain.h"
#include "Platform/Keychain/Pkcs12Import.h"
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

std::optional<OVKeychain::IdentityArray> OVKeychain::sslIdentityAndCertificates(const std::string& name) {
    auto result = identityAndCertificates(name);
    if (!result || result->empty()) {
        addIdentity(name);
        return identityAndCertificates(name);
    }
    return result;
}

std::optional<OVKeychain::IdentityArray> OVKeychain::identityAndCertificates(const std::string& name) {
    std::vector<std::shared_ptr<platform::Identity>> all;
    platform::OSStatus status = platform::Keychain::copyMatchingIdentities(all);
    if (status != platform::kKeychainSuccess || all.empty()) return std::nullopt;
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

void OVKeychain::addIdentity(const std::string& name) {
    platform::plainLog("Adding new certificate for %@", name);
    auto data = OpenSSLProxy::makeCertificate(name, kPassphrase);
    std::shared_ptr<platform::Identity> identity;
    std::shared_ptr<platform::Trust> trust;
    if (data) extractIdentityAndTrust(*data, identity, trust, kPassphrase);
    if (!identity) return;

    (void)persistentRefForIdentity(identity);  // stores it; the reference itself is not needed

    auto certificate = identity->copyCertificate();
    if (!certificate) return;
    const std::vector<platform::TrustSettingsEntry> trustAsRoot{
        {{platform::kTrustSettingsResultKey, platform::kTrustSettingsResultTrustRoot}}};
    platform::OSStatus status =
        platform::TrustSettings::setTrustSettings(*certificate, platform::TrustSettingsDomain::Admin, trustAsRoot);
    if (status != platform::kKeychainSuccess) {
        platform::plainLog("Could not change the trust setting for a certificate. Error: %d", status);
    }
}

std::optional<std::vector<std::uint8_t>> OVKeychain::persistentRefForIdentity(
    const std::shared_ptr<platform::Identity>& identity) {
    if (!identity) return std::nullopt;
    std::vector<std::uint8_t> ref;
    if (platform::Keychain::addIdentity(*identity, platform::Keychain::Accessibility::Always, &ref) !=
        platform::kKeychainSuccess) {
        return std::nullopt;
    }
    return ref;
}

void OVKeychain::addCertificate(const std::string&) {}

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
