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
#include "Platform/Keychain/StoreFileCache.h"
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

// What parsing a store file found wrong with it, reported by every read of the file, also
// by those that take the parse from the cache.
struct Reports {
    std::vector<std::pair<std::string, std::string>> lines;  // path, why

    void add(const std::string& path, const std::string& why) { lines.emplace_back(path, why); }
    void replay() const {
        for (const auto& [path, why] : lines) reportUnreadable(path, why);
    }
};

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

struct SearchList {
    std::string defaultName = Keychain::kLoginKeychain;
    std::vector<std::string> search{Keychain::kLoginKeychain};
};

// A search list as parsed from its file: kKeychainDecode (reported) when the file is not one.
struct ParsedSearchList {
    OSStatus status = kKeychainSuccess;
    SearchList list;
    Reports reports;
};

ParsedSearchList parseSearchList(const std::string& path, const std::string& text) {
    ParsedSearchList parsed;
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("default") || !doc["default"].is_string() ||
        !doc.contains("search") || !doc["search"].is_array()) {
        parsed.reports.add(path, "not a search list");
        parsed.status = kKeychainDecode;
        return parsed;
    }
    parsed.list.defaultName = doc["default"].get<std::string>();
    parsed.list.search.clear();
    for (const auto& entry : doc["search"]) {
        if (!entry.is_string() || !validName(entry.get<std::string>())) {
            parsed.reports.add(path, "bad keychain name in the search list");
            parsed.status = kKeychainDecode;
            return parsed;
        }
        parsed.list.search.push_back(entry.get<std::string>());
    }
    if (!validName(parsed.list.defaultName)) {
        parsed.reports.add(path, "bad default keychain name");
        parsed.status = kKeychainDecode;
    }
    return parsed;
}

// The outcome of reading a search list: a missing file is the built-in list; a damaged one
// is the built-in list for a reader (lenient) and refuses a change; a file that cannot be
// read for now fails both, since the built-in list may name other keychains.
OSStatus searchListOutcome(const ParsedSearchList* parsed, SearchList& list, bool lenient) {
    if (!parsed) {
        list = SearchList{};
        return kKeychainSuccess;
    }
    parsed->reports.replay();
    if (parsed->status == kKeychainSuccess) {
        list = parsed->list;
        return kKeychainSuccess;
    }
    if (lenient) {
        list = SearchList{};
        return kKeychainSuccess;
    }
    return parsed->status;
}

OSStatus readFailure(const std::string& path, const StoreFile::ReadResult& file) {
    reportUnreadable(path, file.error);
    return file.passing ? kKeychainUnreadableForNow : kKeychainIOError;
}

// A search list that cannot be read (reported): for a reader the built-in list, unless the
// reason may pass.
OSStatus searchListFailure(const std::string& path, const StoreFile::ReadResult& file, SearchList& list, bool lenient) {
    const OSStatus status = readFailure(path, file);
    if (status != kKeychainUnreadableForNow && lenient) {
        list = SearchList{};
        return kKeychainSuccess;
    }
    return status;
}

// Reads search-list.json (see searchListOutcome).
OSStatus readSearchList(const std::string& store, SearchList& list, bool lenient) {
    const std::string path = store + "/search-list.json";
    auto file = StoreFile::read(path);
    if (file.status == StoreFile::ReadStatus::Missing) return searchListOutcome(nullptr, list, lenient);
    if (file.status == StoreFile::ReadStatus::Failed) return searchListFailure(path, file, list, lenient);
    const ParsedSearchList parsed = parseSearchList(path, file.contents);
    return searchListOutcome(&parsed, list, lenient);
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

// An item list as parsed from its file: kKeychainDecode (reported) when it is not an item
// list; a malformed entry is reported and left out of the records.
struct ParsedItems {
    OSStatus status = kKeychainSuccess;
    ItemList items;
    Reports reports;
};

ParsedItems parseItems(const std::string& path, const std::string& text) {
    ParsedItems parsed;
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("items") || !doc["items"].is_array()) {
        parsed.reports.add(path, "not a keychain item list");
        parsed.status = kKeychainDecode;
        return parsed;
    }
    parsed.items.entries = std::move(doc["items"]);
    for (size_t i = 0; i < parsed.items.entries.size(); ++i) {
        if (auto record = parseItem(parsed.items.entries[i])) {
            parsed.items.records.push_back(std::move(*record));
        } else {
            parsed.reports.add(path, "malformed item entry " + std::to_string(i));
        }
    }
    return parsed;
}

// kKeychainIOError when the file cannot be read, kKeychainDecode when it is not an item list;
// a missing file is an empty list.
OSStatus readItems(const std::string& dir, ItemList& items) {
    items = ItemList{};
    const std::string path = dir + "/items.json";
    auto file = StoreFile::read(path);
    if (file.status == StoreFile::ReadStatus::Missing) return kKeychainSuccess;
    if (file.status == StoreFile::ReadStatus::Failed) return readFailure(path, file);
    ParsedItems parsed = parseItems(path, file.contents);
    parsed.reports.replay();
    if (parsed.status == kKeychainSuccess) items = std::move(parsed.items);
    return parsed.status;
}

// A stored key with its certificate as parsed from their two files: kKeychainDecode
// (reported) when they are not an unencrypted key and the certificate of that key.
struct ParsedIdentity {
    OSStatus status = kKeychainSuccess;
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<Certificate> certificate;
    Reports reports;
};

ParsedIdentity parseIdentity(const std::string& keyPath, const std::string& keyText, const std::string& certPath,
                             const std::string& certText) {
    ParsedIdentity parsed;
    parsed.status = kKeychainDecode;
    if (keyText.size() > INT_MAX) {
        parsed.reports.add(keyPath, "too large");
        return parsed;
    }
    BioPtr bio(BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size())));
    EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, nullptr) : nullptr);
    // A failed read leaves its reasons on the thread's error queue, where a later TLS call on
    // the same thread would take them for its own.
    ERR_clear_error();
    if (!key) {
        parsed.reports.add(keyPath, "no unencrypted private key");
        return parsed;
    }
    auto cert = Certificate::fromPem(certText);
    if (!cert) {
        ERR_clear_error();
        parsed.reports.add(certPath, "no certificate");
        return parsed;
    }
    if (X509_check_private_key(cert->x509(), key.get()) != 1) {
        ERR_clear_error();
        parsed.reports.add(keyPath, "not the key of the certificate");
        return parsed;
    }
    parsed.status = kKeychainSuccess;
    parsed.key = std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free);
    parsed.certificate = std::move(cert);
    return parsed;
}

// The parses of the files the search reads, kept while the files stay as they were: parsing
// a private key is most of the cost of a lookup, and every connection looks the identity up.
// A key that is not parsed again is also the same key object as before, whose blinding
// values the library has already worked out, and the same identity for the TLS layer.
struct SearchCache {
    StoreFileCache<ParsedSearchList> searchLists;
    StoreFileCache<ParsedItems> itemLists;
    StoreFileCache<ParsedIdentity> identities;

    void forgetUnused() {
        searchLists.forgetUnused();
        itemLists.forgetUnused();
        identities.forgetUnused();
    }
};

// Guarded by storeMutex(). Never destroyed: a pool thread may still look an identity up while
// the process exits.
SearchCache& searchCache() {
    static SearchCache* cache = new SearchCache;
    return *cache;
}

OSStatus searchListForSearch(const std::string& store, SearchList& list) {
    const std::string path = store + "/search-list.json";
    auto read = searchCache().searchLists.get(
        {path}, [&](const std::vector<std::string>& contents) { return parseSearchList(path, contents[0]); });
    if (read.value) return searchListOutcome(read.value.get(), list, true);
    if (read.failure.status == StoreFile::ReadStatus::Missing) return searchListOutcome(nullptr, list, true);
    return searchListFailure(path, read.failure, list, true);
}

// The item list of a keychain for the search; nullptr for a missing file (no items).
OSStatus itemsForSearch(const std::string& dir, std::shared_ptr<const ParsedItems>& items) {
    const std::string path = dir + "/items.json";
    auto read = searchCache().itemLists.get(
        {path}, [&](const std::vector<std::string>& contents) { return parseItems(path, contents[0]); });
    items = read.value;
    if (read.value) {
        read.value->reports.replay();
        return read.value->status;
    }
    if (read.failure.status == StoreFile::ReadStatus::Missing) return kKeychainSuccess;
    return readFailure(path, read.failure);
}

// Reports the item's first unreadable file and fails, so that the search can go on without it;
// kKeychainUnreadableForNow when that file may read again later.
OSStatus loadIdentity(const std::string& dir, const ItemRecord& record, std::shared_ptr<Identity>& identity) {
    const std::string keyPath = dir + "/" + record.id + ".key.pem";
    const std::string certPath = dir + "/" + record.id + ".cert.pem";
    auto read = searchCache().identities.get({keyPath, certPath}, [&](const std::vector<std::string>& contents) {
        return parseIdentity(keyPath, contents[0], certPath, contents[1]);
    });
    if (!read.value) {
        const std::string& path = read.failedIndex == 0 ? keyPath : certPath;
        const bool missing = read.failure.status == StoreFile::ReadStatus::Missing;
        reportUnreadable(path, missing ? "missing" : read.failure.error);
        return read.failure.passing ? kKeychainUnreadableForNow : kKeychainIOError;
    }
    const ParsedIdentity& parsed = *read.value;
    parsed.reports.replay();
    if (parsed.status != kKeychainSuccess) return parsed.status;
    // The key object is shared with earlier lookups; each identity holds a reference of its own.
    if (EVP_PKEY_up_ref(parsed.key.get()) != 1) return kKeychainIOError;
    identity = std::make_shared<Identity>(std::make_shared<KeychainKey>(EvpPkeyPtr(parsed.key.get()), record.label),
                                          parsed.certificate);
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
    bool passing = false;
    change.fileLock = StoreFile::lockForChange({*data, *store, change.dir}, ".lock", &passing);
    if (change.fileLock) return kKeychainSuccess;
    return passing ? kKeychainUnwritableForNow : kKeychainIOError;
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

std::optional<std::string> writeItems(const std::string& dir, const ItemList& items, bool* passing = nullptr) {
    json doc = {{"items", items.entries}};
    return StoreFile::writeAtomically(dir + "/items.json", doc.dump(2) + "\n", 0600, passing);
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
    if (OSStatus status = searchListForSearch(*store, list); status != kKeychainSuccess) return status;
    // A keychain or an item that cannot be read has been reported and is passed over: one
    // damaged item must not hide the identities that can still be used. A file that cannot be
    // read for now may hold the very identity asked for, so nothing found then counts.
    std::vector<std::shared_ptr<Identity>> found;
    for (const auto& name : list.search) {
        const std::string dir = keychainDirectory(*store, name);
        std::shared_ptr<const ParsedItems> items;
        const OSStatus read = itemsForSearch(dir, items);
        if (read == kKeychainUnreadableForNow) return read;
        if (read != kKeychainSuccess || !items) continue;
        for (const auto& record : items->items.records) {
            std::shared_ptr<Identity> identity;
            const OSStatus loaded = loadIdentity(dir, record, identity);
            if (loaded == kKeychainUnreadableForNow) return loaded;
            if (loaded == kKeychainSuccess) found.push_back(std::move(identity));
        }
    }
    // A whole pass: what it did not read is no longer in the store's search.
    searchCache().forgetUnused();
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
    bool passing = false;
    std::optional<std::string> err =
        StoreFile::writeAtomically(keyPath, std::string_view(keyPem, static_cast<size_t>(keyLen)), 0600, &passing);
    if (!err) err = StoreFile::writeAtomically(certPath, certPem, 0644, &passing);
    if (!err) {
        items.entries.push_back({{"id", record.id},
                                 {"label", record.label ? json(*record.label) : json(nullptr)},
                                 {"accessible", record.accessible},
                                 {"certificateSha256", record.certificateSha256}});
        err = writeItems(dir, items, &passing);
    }
    if (err) {
        ::unlink(keyPath.c_str());
        ::unlink(certPath.c_str());
        plainLog("Keychain store %@ cannot be written: %@", dir, *err);
        return passing ? kKeychainUnwritableForNow : kKeychainIOError;
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
