#include "Platform/Keychain/Keychain.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <climits>
#include <mutex>
#include <optional>

#include "Platform/Keychain/KeychainPaths.h"
#include "Platform/Keychain/StoreFile.h"
#include "Platform/PlainLog.h"

namespace platform {

namespace {

using nlohmann::json;

std::mutex& storeMutex() {
    static std::mutex m;
    return m;
}

void reportUnreadable(const std::string& path, const std::string& why) {
    plainLog("Keychain store %@ is unreadable: %@", path, why);
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 128 || name[0] == '.') return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string hex(const unsigned char* bytes, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0f]);
    }
    return out;
}

// Reads one JSON file of the store. A missing file sets missing and succeeds; an unreadable
// one is reported. The parsed document is discarded (is_discarded) when it is not JSON; the
// caller checks its shape.
OSStatus readStoreJson(const std::string& path, json& doc, bool& missing) {
    auto file = StoreFile::read(path);
    missing = file.status == StoreFile::ReadStatus::Missing;
    if (missing) return kKeychainSuccess;
    if (file.status == StoreFile::ReadStatus::Failed) {
        reportUnreadable(path, file.error);
        return kKeychainIOError;
    }
    doc = json::parse(file.contents, nullptr, false);
    return kKeychainSuccess;
}

struct SearchList {
    std::string defaultName = Keychain::kLoginKeychain;
    std::vector<std::string> search{Keychain::kLoginKeychain};
};

// Reads search-list.json; a missing file is the built-in list. Reports a bad file.
OSStatus readSearchList(const std::string& store, SearchList& list) {
    const std::string path = store + "/search-list.json";
    json doc;
    bool missing = false;
    if (OSStatus status = readStoreJson(path, doc, missing); status != kKeychainSuccess || missing) return status;
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("default") || !doc["default"].is_string() ||
        !doc.contains("search") || !doc["search"].is_array()) {
        reportUnreadable(path, "not a search list");
        return kKeychainDecode;
    }
    SearchList parsed;
    parsed.defaultName = doc["default"].get<std::string>();
    parsed.search.clear();
    for (const auto& entry : doc["search"]) {
        if (!entry.is_string() || !validName(entry.get<std::string>())) {
            reportUnreadable(path, "bad keychain name in the search list");
            return kKeychainDecode;
        }
        parsed.search.push_back(entry.get<std::string>());
    }
    if (!validName(parsed.defaultName)) {
        reportUnreadable(path, "bad default keychain name");
        return kKeychainDecode;
    }
    list = std::move(parsed);
    return kKeychainSuccess;
}

// Changes the search list under the store's lock, so that two processes changing it at once
// do not lose each other's change.
template <class Change>
OSStatus changeSearchList(const std::string& store, Change change) {
    const auto fileLock = StoreFile::lockForChange({store.substr(0, store.find_last_of('/')), store}, ".search-list-lock");
    if (!fileLock) return kKeychainIOError;
    SearchList list;
    if (OSStatus status = readSearchList(store, list); status != kKeychainSuccess) return status;
    change(list);
    json doc = {{"default", list.defaultName}, {"search", list.search}};
    if (auto err = StoreFile::writeAtomically(store + "/search-list.json", doc.dump(2) + "\n", 0600)) {
        plainLog("Keychain store %@ cannot be written: %@", store, *err);
        return kKeychainIOError;
    }
    return kKeychainSuccess;
}

// One stored identity as items.json lists it.
struct ItemRecord {
    std::string id;
    std::optional<std::string> label;
    std::string accessible;
    std::string certificateSha256;
};

OSStatus readItems(const std::string& dir, std::vector<ItemRecord>& items) {
    items.clear();
    const std::string path = dir + "/items.json";
    json doc;
    bool missing = false;
    if (OSStatus status = readStoreJson(path, doc, missing); status != kKeychainSuccess || missing) return status;
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("items") || !doc["items"].is_array()) {
        reportUnreadable(path, "not a keychain item list");
        return kKeychainDecode;
    }
    for (const auto& entry : doc["items"]) {
        ItemRecord record;
        if (!entry.is_object() || !entry.contains("id") || !entry["id"].is_string() ||
            !validName(entry["id"].get<std::string>()) || !entry.contains("certificateSha256") ||
            !entry["certificateSha256"].is_string()) {
            reportUnreadable(path, "malformed item entry");
            return kKeychainDecode;
        }
        record.id = entry["id"].get<std::string>();
        record.certificateSha256 = entry["certificateSha256"].get<std::string>();
        if (entry.contains("label") && !entry["label"].is_null()) {
            if (!entry["label"].is_string()) {
                reportUnreadable(path, "malformed item label");
                return kKeychainDecode;
            }
            record.label = entry["label"].get<std::string>();
        }
        if (entry.contains("accessible") && entry["accessible"].is_string()) {
            record.accessible = entry["accessible"].get<std::string>();
        }
        items.push_back(std::move(record));
    }
    return kKeychainSuccess;
}

OSStatus loadIdentity(const std::string& dir, const ItemRecord& record, std::shared_ptr<Identity>& identity) {
    const std::string keyPath = dir + "/" + record.id + ".key.pem";
    const std::string certPath = dir + "/" + record.id + ".cert.pem";
    auto keyFile = StoreFile::read(keyPath);
    auto certFile = StoreFile::read(certPath);
    for (const auto* f : {&keyFile, &certFile}) {
        if (f->status != StoreFile::ReadStatus::Ok) {
            const std::string& path = f == &keyFile ? keyPath : certPath;
            reportUnreadable(path, f->status == StoreFile::ReadStatus::Missing ? "missing" : f->error);
            return kKeychainIOError;
        }
    }
    if (keyFile.contents.size() > INT_MAX) {
        reportUnreadable(keyPath, "too large");
        return kKeychainDecode;
    }
    BioPtr bio(BIO_new_mem_buf(keyFile.contents.data(), static_cast<int>(keyFile.contents.size())));
    EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        reportUnreadable(keyPath, "no private key");
        return kKeychainDecode;
    }
    auto cert = Certificate::fromPem(certFile.contents);
    if (!cert) {
        reportUnreadable(certPath, "no certificate");
        return kKeychainDecode;
    }
    identity = std::make_shared<Identity>(std::make_shared<KeychainKey>(std::move(key), record.label), std::move(cert));
    return kKeychainSuccess;
}

std::string keychainDirectory(const std::string& store, const std::string& name) {
    return store + "/" + name + ".keychain";
}

std::vector<std::uint8_t> persistentRefFor(const std::string& keychainName, const std::string& id) {
    std::string text = "pellix-keychain-item:" + keychainName + "/" + id;
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

bool validUtf8(const std::string& s) {
    try {
        (void)json(s).dump();
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

}  // namespace

OSStatus Keychain::copyMatchingIdentities(std::vector<std::shared_ptr<Identity>>& identities) {
    std::lock_guard<std::mutex> lock(storeMutex());
    identities.clear();
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    SearchList list;
    if (OSStatus status = readSearchList(*store, list); status != kKeychainSuccess) return status;
    std::vector<std::shared_ptr<Identity>> found;
    for (const auto& name : list.search) {
        const std::string dir = keychainDirectory(*store, name);
        std::vector<ItemRecord> items;
        if (OSStatus status = readItems(dir, items); status != kKeychainSuccess) return status;
        for (const auto& record : items) {
            std::shared_ptr<Identity> identity;
            if (OSStatus status = loadIdentity(dir, record, identity); status != kKeychainSuccess) return status;
            found.push_back(std::move(identity));
        }
    }
    if (found.empty()) return kKeychainItemNotFound;
    identities = std::move(found);
    return kKeychainSuccess;
}

OSStatus Keychain::addIdentity(const Identity& identity, Accessibility accessibility,
                               std::vector<std::uint8_t>* persistentRef) {
    std::string name;
    if (OSStatus status = copyDefaultKeychain(name); status != kKeychainSuccess) return status;
    return addIdentity(name, identity, accessibility, persistentRef);
}

OSStatus Keychain::addIdentity(const std::string& keychainName, const Identity& identity, Accessibility accessibility,
                               std::vector<std::uint8_t>* persistentRef) {
    if (!validName(keychainName) || !identity.privateKey() || !identity.certificate()) return kKeychainParam;
    const auto& label = identity.privateKey()->printName();
    if (label && !validUtf8(*label)) return kKeychainParam;

    std::lock_guard<std::mutex> lock(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    auto data = KeychainPaths::dataDirectory();
    const std::string dir = keychainDirectory(*store, keychainName);
    const auto fileLock = StoreFile::lockForChange({*data, *store, dir}, ".lock");
    if (!fileLock) return kKeychainIOError;

    std::vector<ItemRecord> items;
    if (OSStatus status = readItems(dir, items); status != kKeychainSuccess) return status;
    const std::string sha256 = identity.certificate()->sha256Hex();
    for (const auto& record : items) {
        if (record.certificateSha256 == sha256) return kKeychainDuplicateItem;
    }

    unsigned char random[8];
    if (RAND_bytes(random, sizeof random) != 1) return kKeychainIOError;
    ItemRecord record{hex(random, sizeof random), label, accessibility == Accessibility::Always ? "always" : "whenUnlocked",
                      sha256};

    BioPtr keyBio(BIO_new(BIO_s_mem()));
    if (!keyBio || PEM_write_bio_PrivateKey(keyBio.get(), identity.privateKey()->evpKey(), nullptr, nullptr, 0, nullptr,
                                            nullptr) != 1) {
        return kKeychainParam;
    }
    char* keyPem = nullptr;
    long keyLen = BIO_get_mem_data(keyBio.get(), &keyPem);
    const std::string certPem = identity.certificate()->pem();
    if (keyLen <= 0 || certPem.empty()) return kKeychainParam;

    // Item files first, the list last: a crash in between leaves unlisted files, never a
    // listed item without its files.
    const std::string keyPath = dir + "/" + record.id + ".key.pem";
    const std::string certPath = dir + "/" + record.id + ".cert.pem";
    std::optional<std::string> err = StoreFile::writeAtomically(keyPath, std::string_view(keyPem, static_cast<size_t>(keyLen)), 0600);
    if (!err) err = StoreFile::writeAtomically(certPath, certPem, 0644);
    if (!err) {
        items.push_back(record);
        json list = json::array();
        for (const auto& r : items) {
            list.push_back({{"id", r.id},
                            {"label", r.label ? json(*r.label) : json(nullptr)},
                            {"accessible", r.accessible},
                            {"certificateSha256", r.certificateSha256}});
        }
        json doc = {{"items", list}};
        err = StoreFile::writeAtomically(dir + "/items.json", doc.dump(2) + "\n", 0600);
    }
    if (err) {
        ::unlink(keyPath.c_str());
        ::unlink(certPath.c_str());
        plainLog("Keychain store %@ cannot be written: %@", dir, *err);
        return kKeychainIOError;
    }
    if (persistentRef) *persistentRef = persistentRefFor(keychainName, record.id);
    return kKeychainSuccess;
}

OSStatus Keychain::copySearchList(std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    SearchList list;
    if (OSStatus status = readSearchList(*store, list); status != kKeychainSuccess) return status;
    names = list.search;
    return kKeychainSuccess;
}

OSStatus Keychain::copyDefaultKeychain(std::string& name) {
    std::lock_guard<std::mutex> lock(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    SearchList list;
    if (OSStatus status = readSearchList(*store, list); status != kKeychainSuccess) return status;
    name = list.defaultName;
    return kKeychainSuccess;
}

OSStatus Keychain::setSearchList(const std::vector<std::string>& names) {
    for (const auto& n : names) {
        if (!validName(n)) return kKeychainParam;
    }
    std::lock_guard<std::mutex> lock(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    return changeSearchList(*store, [&](SearchList& list) { list.search = names; });
}

OSStatus Keychain::setDefaultKeychain(const std::string& name) {
    if (!validName(name)) return kKeychainParam;
    std::lock_guard<std::mutex> lock(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    return changeSearchList(*store, [&](SearchList& list) { list.defaultName = name; });
}

}  // namespace platform
