// libcurl, loaded on first use. The program does not link it: libcurl and the libraries it
// pulls in (TLS, Kerberos, LDAP, SSH, ...) would cost several MiB of resident memory in
// every process, while only a page's document download needs them. The curl headers still
// give the types; the functions come from the table below.
//
// shared() loads the library with dlopen and initialises it, once per process and from
// whichever thread comes first; every caller gets the same table. A library that cannot be
// loaded gives a table without functions and the error naming the library, logged once.
// The loaded library is never unloaded: loader threads may still run transfers while the
// process exits. Internal to the URL loading stand-in.
#pragma once

#include <curl/curl.h>

#include <optional>

#include "Platform/Error.h"

// The functions the URL loading layer calls, without their "curl_" prefix: one list, so that
// every function of the table is also resolved.
#define PELLIX_CURL_FUNCTIONS(X)                                                                    \
    X(global_init) X(easy_init) X(easy_setopt) X(easy_perform) X(easy_getinfo) X(easy_cleanup)     \
    X(easy_strerror) X(slist_append) X(slist_free_all) X(url) X(url_set) X(url_get) X(url_cleanup) \
    X(free)

namespace platform::detail {

struct CurlLibrary {
    static constexpr const char* kName = "libcurl.so.4";

    // The process's library; loads it on the first call. Thread-safe.
    static const CurlLibrary& shared();

    // Test seam: opens the library of that name and resolves the table, without initialising
    // or logging. A library with every function stays loaded.
    static CurlLibrary load(const char* name);

    // Set when the library or one of its functions is missing; the functions are then null.
    std::optional<Error> error;

    // curl_<name> for every name of the list.
#define PELLIX_CURL_FUNCTION_SLOT(name) decltype(&::curl_##name) name = nullptr;
    PELLIX_CURL_FUNCTIONS(PELLIX_CURL_FUNCTION_SLOT)
#undef PELLIX_CURL_FUNCTION_SLOT
};

}  // namespace platform::detail
