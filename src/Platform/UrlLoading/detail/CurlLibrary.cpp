#include "Platform/UrlLoading/detail/CurlLibrary.h"

#include <dlfcn.h>

#include <string>

#include "Platform/PlainLog.h"
#include "Platform/UrlLoading/URLSession.h"

namespace platform::detail {

namespace {

Error loadError(const char* name, const char* reason) {
    return Error{kURLErrorDomain, URLErrorUnknown, std::string("The URL loading library ") + name + " could not be loaded.",
                 reason ? reason : "unknown reason"};
}

template <class Function>
bool resolve(void* handle, const char* symbol, Function& slot) {
    dlerror();
    void* address = dlsym(handle, symbol);
    slot = reinterpret_cast<Function>(address);
    return address != nullptr;
}

}  // namespace

CurlLibrary CurlLibrary::load(const char* name) {
    CurlLibrary library;
    // Local binding: curl's symbols must not stand in for anyone else's.
    void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        library.error = loadError(name, dlerror());
        return library;
    }
    bool complete = true;
#define PELLIX_CURL_RESOLVE(name) complete = complete && resolve(handle, "curl_" #name, library.name);
    PELLIX_CURL_FUNCTIONS(PELLIX_CURL_RESOLVE)
#undef PELLIX_CURL_RESOLVE
    if (!complete) {
        // A library without one of the functions is not the one we were built against: none of
        // its functions may be called, so none is kept.
        library = CurlLibrary{};
        library.error = loadError(name, dlerror());
        dlclose(handle);
    }
    return library;
}

const CurlLibrary& CurlLibrary::shared() {
    static const CurlLibrary library = [] {
        CurlLibrary l = load(kName);
        if (l.error) {
            plainLog("URL loading is unavailable: %@", l.error->describe());
        } else {
            // A failed initialisation shows later, as a transfer handle that cannot be made.
            l.global_init(CURL_GLOBAL_DEFAULT);
        }
        return l;
    }();
    return library;
}

}  // namespace platform::detail
