#include "Platform/Keychain/Keychain.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
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
// one is reported, and fails with kKeychainUnreadableForNow when the reason may pass. The
// parsed document is discarded (is_discarded) when it is not JSON; the caller checks its shape.
OSStatus readStoreJson(const std::string& path, json& doc, bool& missing) {
    auto file = StoreFile::read(path);
    missing = file.status == StoreFile::ReadStatus::Missing;
    if (missing) return kKeychainSuccess;
    if (file.status == StoreFile::ReadStatus::Failed) {
        reportUnreadable(path, file.error);
        return file.passing ? kKeychainUnreadableForNow : kKeychainIOError;
    }
    doc = json::parse(file.contents, nullptr, false);
    return kKeychainSuccess;
}

struct SearchList {
    std::string defaultName = Keychain::kLoginKeychain;
    std::vector<std::string> search{Keychain::kLoginKeychain};
};

OSStatus parseSearchList(const std::string& path, json& doc, SearchList& list) {
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

// Reads search-list.json; a missing file is the built-in list. A damaged file is reported;
// a reader then goes on with the built-in list (lenient), a change refuses to replace it. A
// file that cannot be read for now fails both: the built-in list may name other keychains.
OSStatus readSearchList(const std::string& store, SearchList& list, bool lenient) {
    const std::string path = store + "/search-list.json";
    json doc;
    bool missing = false;
    OSStatus status = readStoreJson(path, doc, missing);
    if (status == kKeychainSuccess && !missing) status = parseSearchList(path, doc, list);
    if (status != kKeychainSuccess && status != kKeychainUnreadableForNow && lenient) {
        list = SearchList{};
        return kKeychainSuccess;
    }
    return status;
}

// Changes the search list under the store's lock, so that two processes changing it at once
// do not lose each other's change.
template <class Change>
OSStatus changeSearchList(const std::string& store, Change change) {
    const auto fileLock = StoreFile::lockForChange({store.substr(0, store.find_last_of('/')), store}, ".search-list-lock");
    if (!fileLock) return kKeychainIOError;
    SearchList list;
    if (OSStatus status = readSearchList(store, list, false); status != kKeychainSuccess) return status;
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

// A keychain's items.json: the entries as stored, and the records of those that are well
// formed. An add writes every stored entry back, so an entry this version cannot read is kept.
struct ItemList {
    json entries = json::array();
    std::vector<ItemRecord> records;
};

std::optional<ItemRecord> parseItem(const json& entry) {
    if (!entry.is_object() || !entry.contains("id") || !entry["id"].is_string() ||
        !validName(entry["id"].get<std::string>()) || !entry.contains("certificateSha256") ||
        !entry["certificateSha256"].is_string()) {
        return std::nullopt;
    }
    ItemRecord record;
    record.id = entry["id"].get<std::string>();
    record.certificateSha256 = entry["certificateSha256"].get<std::string>();
    if (entry.contains("label") && !entry["label"].is_null()) {
        if (!entry["label"].is_string()) return std::nullopt;
        record.label = entry["label"].get<std::string>();
    }
    if (entry.contains("accessible") && entry["accessible"].is_string()) {
        record.accessible = entry["accessible"].get<std::string>();
    }
    return record;
}

// kKeychainIOError when the file cannot be read, kKeychainDecode when it is not an item list;
// a malformed entry is reported and left out of the records.
OSStatus readItems(const std::string& dir, ItemList& items) {
    items = ItemList{};
    const std::string path = dir + "/items.json";
    json doc;
    bool missing = false;
    if (OSStatus status = readStoreJson(path, doc, missing); status != kKeychainSuccess || missing) return status;
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("items") || !doc["items"].is_array()) {
        reportUnreadable(path, "not a keychain item list");
        return kKeychainDecode;
    }
    items.entries = std::move(doc["items"]);
    for (size_t i = 0; i < items.entries.size(); ++i) {
        if (auto record = parseItem(items.entries[i])) {
            items.records.push_back(std::move(*record));
        } else {
            reportUnreadable(path, "malformed item entry " + std::to_string(i));
        }
    }
    return kKeychainSuccess;
}

// Reports the item's first unreadable file and fails, so that the search can go on without it;
// kKeychainUnreadableForNow when that file may read again later.
OSStatus loadIdentity(const std::string& dir, const ItemRecord& record, std::shared_ptr<Identity>& identity) {
    const std::string keyPath = dir + "/" + record.id + ".key.pem";
    const std::string certPath = dir + "/" + record.id + ".cert.pem";
    auto keyFile = StoreFile::read(keyPath);
    auto certFile = StoreFile::read(certPath);
    for (const auto* f : {&keyFile, &certFile}) {
        if (f->status != StoreFile::ReadStatus::Ok) {
            const std::string& path = f == &keyFile ? keyPath : certPath;
            reportUnreadable(path, f->status == StoreFile::ReadStatus::Missing ? "missing" : f->error);
            return f->passing ? kKeychainUnreadableForNow : kKeychainIOError;
        }
    }
    if (keyFile.contents.size() > INT_MAX) {
        reportUnreadable(keyPath, "too large");
        return kKeychainDecode;
    }
    BioPtr bio(BIO_new_mem_buf(keyFile.contents.data(), static_cast<int>(keyFile.contents.size())));
    EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, nullptr) : nullptr);
    // A failed read leaves its reasons on the thread's error queue, where a later TLS call on
    // the same thread would take them for its own.
    ERR_clear_error();
    if (!key) {
        reportUnreadable(keyPath, "no unencrypted private key");
        return kKeychainDecode;
    }
    auto cert = Certificate::fromPem(certFile.contents);
    if (!cert) {
        ERR_clear_error();
        reportUnreadable(certPath, "no certificate");
        return kKeychainDecode;
    }
    if (X509_check_private_key(cert->x509(), key.get()) != 1) {
        ERR_clear_error();
        reportUnreadable(keyPath, "not the key of the certificate");
        return kKeychainDecode;
    }
    identity = std::make_shared<Identity>(std::make_shared<KeychainKey>(std::move(key), record.label), std::move(cert));
    return kKeychainSuccess;
}

std::string keychainDirectory(const std::string& store, const std::string& name) {
    return store + "/" + name + ".keychain";
}

// A change to one keychain holds the store's locks (this process's mutex and the lock file
// between processes) while it lasts, so that two changes never lose each other's items.
struct KeychainChange {
    std::unique_lock<std::mutex> lock;
    std::string dir;
    std::unique_ptr<StoreFile::Lock> fileLock;
};

OSStatus beginChange(const std::string& keychainName, KeychainChange& change) {
    change.lock = std::unique_lock<std::mutex>(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    auto data = KeychainPaths::dataDirectory();
    change.dir = keychainDirectory(*store, keychainName);
    change.fileLock = StoreFile::lockForChange({*data, *store, change.dir}, ".lock");
    return change.fileLock ? kKeychainSuccess : kKeychainIOError;
}

std::vector<std::uint8_t> persistentRefFor(const std::string& keychainName, const std::string& id) {
    std::string text = "pellix-keychain-item:" + keychainName + "/" + id;
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

bool parsePersistentRef(const std::vector<std::uint8_t>& ref, std::string& keychainName, std::string& id) {
    static const std::string prefix = "pellix-keychain-item:";
    const std::string text(ref.begin(), ref.end());
    const auto slash = text.find('/', prefix.size());
    if (!text.starts_with(prefix) || slash == std::string::npos) return false;
    keychainName = text.substr(prefix.size(), slash - prefix.size());
    id = text.substr(slash + 1);
    return validName(keychainName) && validName(id);
}

std::optional<std::string> writeItems(const std::string& dir, const ItemList& items) {
    json doc = {{"items", items.entries}};
    return StoreFile::writeAtomically(dir + "/items.json", doc.dump(2) + "\n", 0600);
}

// Renames a damaged store file to the first free "<name>.damaged", "<name>.damaged-2", ...
// beside it, never over an earlier one. False (reported) when it cannot be moved.
bool setAside(const std::string& path) {
    for (int n = 1; n <= 100; ++n) {
        const std::string aside = path + ".damaged" + (n == 1 ? std::string() : "-" + std::to_string(n));
        if (::link(path.c_str(), aside.c_str()) == 0) {
            ::unlink(path.c_str());
            plainLog("Keychain store %@ was set aside as %@", path, aside);
            return true;
        }
        if (errno != EEXIST) break;
    }
    plainLog("Keychain store %@ cannot be set aside: %@", path, std::strerror(errno));
    return false;
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
    if (OSStatus status = readSearchList(*store, list, true); status != kKeychainSuccess) return status;
    // A keychain or an item that cannot be read has been reported and is passed over: one
    // damaged item must not hide the identities that can still be used. A file that cannot be
    // read for now may hold the very identity asked for, so nothing found then counts.
    std::vector<std::shared_ptr<Identity>> found;
    for (const auto& name : list.search) {
        const std::string dir = keychainDirectory(*store, name);
        ItemList items;
        const OSStatus read = readItems(dir, items);
        if (read == kKeychainUnreadableForNow) return read;
        if (read != kKeychainSuccess) continue;
        for (const auto& record : items.records) {
            std::shared_ptr<Identity> identity;
            const OSStatus loaded = loadIdentity(dir, record, identity);
            if (loaded == kKeychainUnreadableForNow) return loaded;
            if (loaded == kKeychainSuccess) found.push_back(std::move(identity));
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

    KeychainChange change;
    if (OSStatus status = beginChange(keychainName, change); status != kKeychainSuccess) return status;
    const std::string& dir = change.dir;

    ItemList items;
    OSStatus read = readItems(dir, items);
    if (read == kKeychainDecode) {
        // A list that is not a list at all can never be read again; it is kept for whoever wants
        // to look at it, and the keychain starts a new one so that it can take items again.
        if (!setAside(dir + "/items.json")) return kKeychainIOError;
        items = ItemList{};
    } else if (read != kKeychainSuccess) {
        return read;
    }
    const std::string sha256 = identity.certificate()->sha256Hex();
    for (const auto& record : items.records) {
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
        items.entries.push_back({{"id", record.id},
                                 {"label", record.label ? json(*record.label) : json(nullptr)},
                                 {"accessible", record.accessible},
                                 {"certificateSha256", record.certificateSha256}});
        err = writeItems(dir, items);
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

OSStatus Keychain::deleteItem(const std::vector<std::uint8_t>& persistentRef) {
    std::string keychainName;
    std::string id;
    if (!parsePersistentRef(persistentRef, keychainName, id)) return kKeychainParam;

    KeychainChange change;
    if (OSStatus status = beginChange(keychainName, change); status != kKeychainSuccess) return status;
    const std::string& dir = change.dir;

    ItemList items;
    if (OSStatus status = readItems(dir, items); status != kKeychainSuccess) return status;
    const auto before = items.entries.size();
    for (auto it = items.entries.begin(); it != items.entries.end();) {
        auto record = parseItem(*it);
        it = record && record->id == id ? items.entries.erase(it) : it + 1;
    }
    if (items.entries.size() == before) return kKeychainItemNotFound;
    // The list first, the files last: a crash in between leaves unlisted files, never a listed
    // item without its files.
    if (auto err = writeItems(dir, items)) {
        plainLog("Keychain store %@ cannot be written: %@", dir, *err);
        return kKeychainIOError;
    }
    ::unlink((dir + "/" + id + ".key.pem").c_str());
    ::unlink((dir + "/" + id + ".cert.pem").c_str());
    return kKeychainSuccess;
}

OSStatus Keychain::copySearchList(std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    SearchList list;
    if (OSStatus status = readSearchList(*store, list, true); status != kKeychainSuccess) return status;
    names = list.search;
    return kKeychainSuccess;
}

OSStatus Keychain::copyDefaultKeychain(std::string& name) {
    std::lock_guard<std::mutex> lock(storeMutex());
    auto store = KeychainPaths::storeDirectory();
    if (!store) return kKeychainNotAvailable;
    SearchList list;
    if (OSStatus status = readSearchList(*store, list, true); status != kKeychainSuccess) return status;
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
