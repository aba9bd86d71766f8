// The keychain stand-in: file-backed keychains in the user's data directory, a search list and
// a default keychain, with the two item operations the certificate code needs - query every
// identity of the search list, and add an identity to a keychain.
//
// Layout under KeychainPaths::storeDirectory() (directories 0700):
//     search-list.json            {"default": NAME, "search": [NAME...]}; absent = "login" only
//     NAME.keychain/items.json    the keychain's identities in the order they were added (0600)
//     NAME.keychain/ID.key.pem    an identity's private key, unencrypted PKCS#8 (0600)
//     NAME.keychain/ID.cert.pem   its certificate (0644)
//
// Every call looks at the files again. The search keeps what it parsed of each file (the
// lists, each item's key and certificate) while the file stays as it was (StoreFileCache): an
// unchanged store costs one open and fstat per file, and an identity found again is the same
// key and certificate objects as before. Any change of a file - rewritten, replaced, removed,
// made again, by this process or another - is seen by the next call. Writes are atomic, and a
// read-modify-write holds a lock file, so two processes never lose each other's items.
//
// Damage is reported with a plain log line naming the file ("Keychain store <path> is
// unreadable: <why>") and never stops the rest of the store from working:
// - a search-list.json that cannot be read counts as the built-in list (it is left as it is;
//   only setSearchList and setDefaultKeychain refuse to replace it);
// - a keychain whose items.json cannot be read, a malformed item entry, and an item whose key
//   or certificate file is missing, unreadable, encrypted or not a matching pair are passed
//   over by the search;
// - an add keeps every stored entry, also those it cannot read; an items.json that is not an
//   item list at all is renamed to "items.json.damaged" (or "-2", "-3", ...) and the keychain
//   starts a new list, so that it can take items again. An items.json that cannot be read
//   (permissions, I/O) fails the add.
// A read that fails for a reason that may pass by itself (too many open files, an I/O error, a
// lock: StoreFile::passingError) is not damage. It says nothing about what the store holds, so
// nothing is passed over then: the call fails with kKeychainUnreadableForNow (reported as
// above), the search list and the default keychain included, and a later call reads again.
//
// Callable from any thread; calls are serialised inside.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Keychain/Identity.h"
#include "Platform/Keychain/KeychainStatus.h"

namespace platform {

class Keychain {
public:
    // When the stored item may be used; recorded with the item, not enforced by the stand-in.
    enum class Accessibility { Always, WhenUnlocked };

    inline static const std::string kLoginKeychain = "login";

    // Every readable identity of every keychain in the search list: keychains in search-list
    // order, identities in the order they were added. kKeychainItemNotFound when there is none;
    // kKeychainUnreadableForNow, with no identities, when any file the search needs could not be
    // read for a passing reason.
    static OSStatus copyMatchingIdentities(std::vector<std::shared_ptr<Identity>>& identities);

    // Stores a copy of the identity (key, certificate and the key's print name) in the default
    // keychain, or in the named one. On success persistentRef (when given) receives the item's
    // persistent reference. kKeychainDuplicateItem when that keychain already holds an identity
    // with the same certificate. A store that cannot be read or written for a passing reason
    // fails with kKeychainUnreadableForNow or kKeychainUnwritableForNow; nothing is added then.
    static OSStatus addIdentity(const Identity& identity, Accessibility accessibility,
                                std::vector<std::uint8_t>* persistentRef);
    static OSStatus addIdentity(const std::string& keychainName, const Identity& identity, Accessibility accessibility,
                                std::vector<std::uint8_t>* persistentRef);

    // Removes the item that persistentRef (from addIdentity) names, with its files.
    // kKeychainItemNotFound when the keychain does not list it.
    static OSStatus deleteItem(const std::vector<std::uint8_t>& persistentRef);

    // The search list and the default keychain. Names are [A-Za-z0-9._-], not starting with '.'.
    static OSStatus copySearchList(std::vector<std::string>& names);
    static OSStatus copyDefaultKeychain(std::string& name);
    static OSStatus setSearchList(const std::vector<std::string>& names);
    static OSStatus setDefaultKeychain(const std::string& name);
};

}  // namespace platform
