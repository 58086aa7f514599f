#include "platform/posix/CurlLibrary.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace {

constexpr const char* KCurlSoname = "libcurl.so.4";

// Points AFunction at the library's symbol ASymbol; false, with the cause in AError, without it.
template <typename TFunction>
bool Resolve(void* ALibrary, const char* ASymbol, TFunction& AFunction, std::string& AError) {
    void* address = dlsym(ALibrary, ASymbol);
    if (!address) {
        AError = std::string("no ") + ASymbol + " in " + KCurlSoname;
        return false;
    }
    AFunction = reinterpret_cast<TFunction>(address);
    return true;
}

const TCurlLibrary* Load() {
    void* library = dlopen(KCurlSoname, RTLD_NOW | RTLD_LOCAL);
    std::string error;
    static TCurlLibrary curl{};
    const bool resolved = library && Resolve(library, "curl_global_init", curl.GlobalInit, error) &&
                          Resolve(library, "curl_easy_init", curl.EasyInit, error) &&
                          Resolve(library, "curl_easy_setopt", curl.EasySetopt, error) &&
                          Resolve(library, "curl_easy_getinfo", curl.EasyGetinfo, error) &&
                          Resolve(library, "curl_easy_cleanup", curl.EasyCleanup, error) &&
                          Resolve(library, "curl_multi_init", curl.MultiInit, error) &&
                          Resolve(library, "curl_multi_add_handle", curl.MultiAddHandle, error) &&
                          Resolve(library, "curl_multi_perform", curl.MultiPerform, error) &&
                          Resolve(library, "curl_multi_poll", curl.MultiPoll, error) &&
                          Resolve(library, "curl_multi_info_read", curl.MultiInfoRead, error) &&
                          Resolve(library, "curl_multi_remove_handle", curl.MultiRemoveHandle, error) &&
                          Resolve(library, "curl_multi_cleanup", curl.MultiCleanup, error);
    if (!library)
        error = dlerror();
    if (!resolved) {
        std::fprintf(stderr, "cannot download: %s (install libcurl4)\n", error.c_str());
        std::fflush(stderr);
        if (library)
            dlclose(library);
        return nullptr;
    }
    // libcurl wants one global initialisation per process before the first handle.
    if (curl.GlobalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fprintf(stderr, "cannot download: %s did not initialise\n", KCurlSoname);
        std::fflush(stderr);
        return nullptr;
    }
    return &curl;
}

} // namespace

const TCurlLibrary* CurlLibrary() {
    static const TCurlLibrary* const loaded = Load();
    return loaded;
}
