// Result codes of the keychain stand-in (item store, PKCS#12 import, trust settings). Zero is
// success; the other values are the negative codes a keychain caller logs with "%d".
#pragma once

#include <cstdint>

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus kKeychainSuccess = 0;
inline constexpr OSStatus kKeychainIOError = -36;          // a store file could not be read or written
inline constexpr OSStatus kKeychainParam = -50;            // an argument the store cannot take
inline constexpr OSStatus kKeychainNotAvailable = -25291;  // no usable keychain (no home directory)
inline constexpr OSStatus kKeychainAuthFailed = -25293;    // wrong passphrase for a container
inline constexpr OSStatus kKeychainDuplicateItem = -25299; // the item is already in the keychain
inline constexpr OSStatus kKeychainItemNotFound = -25300;  // the query matched nothing
inline constexpr OSStatus kKeychainDecode = -26275;        // a container or store file is malformed
inline constexpr OSStatus kKeychainToolFailed = -25257;    // an external trust tool reported failure
// A store file could not be read for a reason that may pass by itself (too many open files, an
// I/O error, a lock): what the store holds is unknown, which is not the same as empty.
inline constexpr OSStatus kKeychainUnreadableForNow = -25308;
// A store file could not be written (or its lock or temporary file not made) for such a reason:
// the change was not made, and the same change tried later may well succeed.
inline constexpr OSStatus kKeychainUnwritableForNow = -25309;

// Whether a call failed for a reason that may pass by itself, so that trying again later, with
// nothing changed in the store, may well succeed.
inline constexpr bool failsForNow(OSStatus status) {
    return status == kKeychainUnreadableForNow || status == kKeychainUnwritableForNow;
}

}  // namespace platform
