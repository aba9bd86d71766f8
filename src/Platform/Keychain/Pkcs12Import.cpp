#include "Platform/Keychain/Pkcs12Import.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>

#include <climits>

#include "Platform/Keychain/CryptoContext.h"
#include "Platform/Keychain/OpenSslHandles.h"

namespace platform {

namespace {

struct SafeBagsFree {
    void operator()(STACK_OF(PKCS12_SAFEBAG)* p) const { sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free); }
};
struct AuthSafesFree {
    void operator()(STACK_OF(PKCS7)* p) const { sk_PKCS7_pop_free(p, PKCS7_free); }
};
using SafeBagsPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), SafeBagsFree>;
using AuthSafesPtr = std::unique_ptr<STACK_OF(PKCS7), AuthSafesFree>;

struct KeyEntry {
    EvpPkeyPtr key;
    std::optional<std::string> friendlyName;
    std::string localKeyId;
};
struct CertEntry {
    std::shared_ptr<Certificate> certificate;
    std::optional<std::string> friendlyName;
    std::string localKeyId;
};

std::optional<std::string> friendlyName(PKCS12_SAFEBAG* bag) {
    char* name = PKCS12_get_friendlyname(bag);
    if (!name) return std::nullopt;
    std::string text(name);
    OPENSSL_free(name);
    return text;
}

std::string localKeyId(const PKCS12_SAFEBAG* bag) {
    const ASN1_TYPE* attr = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
    if (!attr || attr->type != V_ASN1_OCTET_STRING) return {};
    const ASN1_OCTET_STRING* id = attr->value.octet_string;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(id)), static_cast<size_t>(ASN1_STRING_length(id)));
}

class Reader {
public:
    Reader(const char* pass, int passLen) : pass_(pass), passLen_(passLen) {}

    // False when a bag could not be decrypted with the passphrase.
    bool readBags(const STACK_OF(PKCS12_SAFEBAG)* bags) {
        for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
            PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
            switch (PKCS12_SAFEBAG_get_nid(bag)) {
                case NID_pkcs8ShroudedKeyBag: {
                    Pkcs8Ptr p8(PKCS12_decrypt_skey_ex(bag, pass_, passLen_, CryptoContext::legacy(), nullptr));
                    if (!p8) return false;
                    addKey(EvpPkeyPtr(EVP_PKCS82PKEY_ex(p8.get(), CryptoContext::legacy(), nullptr)), bag);
                    break;
                }
                case NID_keyBag: {
                    const PKCS8_PRIV_KEY_INFO* p8 = PKCS12_SAFEBAG_get0_p8inf(bag);
                    if (p8) addKey(EvpPkeyPtr(EVP_PKCS82PKEY_ex(p8, CryptoContext::legacy(), nullptr)), bag);
                    break;
                }
                case NID_certBag: {
                    if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
                    X509Ptr cert(PKCS12_SAFEBAG_get1_cert(bag));
                    if (cert) {
                        certs_.push_back({std::make_shared<Certificate>(std::move(cert)), friendlyName(bag), localKeyId(bag)});
                    }
                    break;
                }
                case NID_safeContentsBag:
                    if (depth_ < 4) {
                        ++depth_;
                        bool ok = readBags(PKCS12_SAFEBAG_get0_safes(bag));
                        --depth_;
                        if (!ok) return false;
                    }
                    break;
                default:
                    break;
            }
        }
        return true;
    }

    std::vector<Pkcs12ImportItem> items() {
        std::vector<Pkcs12ImportItem> out;
        for (auto& key : keys_) {
            const CertEntry* match = nullptr;
            if (!key.localKeyId.empty()) {
                for (const auto& c : certs_) {
                    if (c.localKeyId == key.localKeyId) {
                        match = &c;
                        break;
                    }
                }
            }
            if (!match) {
                for (const auto& c : certs_) {
                    if (X509_check_private_key(c.certificate->x509(), key.key.get()) == 1) {
                        match = &c;
                        break;
                    }
                }
            }
            if (!match) continue;
            std::vector<std::shared_ptr<Certificate>> chain{match->certificate};
            for (const auto& c : certs_) {
                if (&c != match) chain.push_back(c.certificate);
            }
            auto label = key.friendlyName ? key.friendlyName : match->friendlyName;
            out.push_back({std::make_shared<Identity>(std::make_shared<KeychainKey>(std::move(key.key), label), match->certificate),
                           std::make_shared<Trust>(std::move(chain))});
        }
        return out;
    }

private:
    void addKey(EvpPkeyPtr key, PKCS12_SAFEBAG* bag) {
        if (key) keys_.push_back({std::move(key), friendlyName(bag), localKeyId(bag)});
    }

    const char* pass_;
    int passLen_;
    int depth_ = 0;
    std::vector<KeyEntry> keys_;
    std::vector<CertEntry> certs_;
};

OSStatus importWith(PKCS12* p12, const char* pass, std::vector<Pkcs12ImportItem>& items) {
    const int passLen = pass ? -1 : 0;
    if (PKCS12_mac_present(p12) && PKCS12_verify_mac(p12, pass, passLen) != 1) return kKeychainAuthFailed;
    AuthSafesPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes) return kKeychainDecode;
    Reader reader(pass, passLen);
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
        SafeBagsPtr bags;
        switch (OBJ_obj2nid(p7->type)) {
            case NID_pkcs7_data:
                bags.reset(PKCS12_unpack_p7data(p7));
                if (!bags) return kKeychainDecode;
                break;
            case NID_pkcs7_encrypted: {
                // Decrypted here rather than with PKCS12_unpack_p7encdata, which would look for
                // RC2 in the process's default context, where the legacy provider is not loaded.
                if (!p7->d.encrypted || !p7->d.encrypted->enc_data || !p7->d.encrypted->enc_data->enc_data) {
                    return kKeychainDecode;
                }
                const PKCS7_ENC_CONTENT* content = p7->d.encrypted->enc_data;
                bags.reset(static_cast<STACK_OF(PKCS12_SAFEBAG)*>(PKCS12_item_decrypt_d2i_ex(
                    content->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), pass, passLen, content->enc_data, 1,
                    CryptoContext::legacy(), nullptr)));
                if (!bags) return kKeychainAuthFailed;
                break;
            }
            default:
                continue;
        }
        if (!reader.readBags(bags.get())) return kKeychainAuthFailed;
    }
    items = reader.items();
    return kKeychainSuccess;
}

}  // namespace

OSStatus pkcs12Import(const std::vector<std::uint8_t>& data, const Pkcs12ImportOptions& options,
                      std::vector<Pkcs12ImportItem>& items) {
    items.clear();
    if (data.empty() || data.size() > LONG_MAX) return kKeychainDecode;
    const unsigned char* p = data.data();
    Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(data.size())));
    OSStatus status = kKeychainDecode;
    if (p12) {
        if (options.passphrase) {
            status = importWith(p12.get(), options.passphrase->c_str(), items);
        } else {
            // Without a passphrase a container opens only if it was made with none, which the
            // library writes either as no password or as the empty one.
            status = importWith(p12.get(), nullptr, items);
            if (status == kKeychainAuthFailed) status = importWith(p12.get(), "", items);
        }
    }
    ERR_clear_error();  // failures are reported by the status; leave no stale library errors behind
    return status;
}

}  // namespace platform
