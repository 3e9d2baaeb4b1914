#include "sync/CurlLibrary.h"

#include <dlfcn.h>

#include "sync/LibrarySymbols.h"

namespace harbelle::sync {

namespace {

constexpr char kUnavailable[] = "libcurl could not be loaded";

CURLcode failedOption(CURL*, CURLoption, ...) { return CURLE_FAILED_INIT; }
CURLcode failedInfo(CURL*, CURLINFO, ...) { return CURLE_FAILED_INIT; }

// What every entry does while the library is missing.
CurlLibrary unavailable(std::string error) {
    CurlLibrary library{};
    library.global_init = [](long) { return CURLE_FAILED_INIT; };
    library.easy_init = []() -> CURL* { return nullptr; };
    library.easy_cleanup = [](CURL*) {};
    library.easy_reset = [](CURL*) {};
    library.easy_setopt = failedOption;
    library.easy_getinfo = failedInfo;
    library.easy_perform = [](CURL*) { return CURLE_FAILED_INIT; };
    library.easy_strerror = [](CURLcode) { return kUnavailable; };
    library.free = [](void*) {};
    library.url = []() -> CURLU* { return nullptr; };
    library.url_cleanup = [](CURLU*) {};
    library.url_get = [](CURLU*, CURLUPart, char**, unsigned int) { return CURLUE_BAD_HANDLE; };
    library.url_set = [](CURLU*, CURLUPart, const char*, unsigned int) { return CURLUE_BAD_HANDLE; };
    library.slist_append = [](curl_slist*, const char*) -> curl_slist* { return nullptr; };
    library.slist_free_all = [](curl_slist*) {};
    library.multi_init = []() -> CURLM* { return nullptr; };
    library.multi_cleanup = [](CURLM*) { return CURLM_BAD_HANDLE; };
    library.multi_add_handle = [](CURLM*, CURL*) { return CURLM_BAD_HANDLE; };
    library.multi_remove_handle = [](CURLM*, CURL*) { return CURLM_BAD_HANDLE; };
    library.multi_perform = [](CURLM*, int*) { return CURLM_BAD_HANDLE; };
    library.multi_poll = [](CURLM*, curl_waitfd*, unsigned int, int, int*) { return CURLM_BAD_HANDLE; };
    library.multi_info_read = [](CURLM*, int*) -> CURLMsg* { return nullptr; };
    library.multi_wakeup = [](CURLM*) { return CURLM_BAD_HANDLE; };
    library.error = std::move(error);
    return library;
}

}  // namespace

CurlLibrary CurlLibrary::open(const char* fileName) {
    void* handle = ::dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        return unavailable(std::string(kUnavailable) + ": " + (reason ? reason : fileName));
    }
    CurlLibrary library{};
    std::string missing;
    const bool complete = resolveSymbol(handle, "curl_global_init", library.global_init, missing) &&
                          resolveSymbol(handle, "curl_easy_init", library.easy_init, missing) &&
                          resolveSymbol(handle, "curl_easy_cleanup", library.easy_cleanup, missing) &&
                          resolveSymbol(handle, "curl_easy_reset", library.easy_reset, missing) &&
                          resolveSymbol(handle, "curl_easy_setopt", library.easy_setopt, missing) &&
                          resolveSymbol(handle, "curl_easy_getinfo", library.easy_getinfo, missing) &&
                          resolveSymbol(handle, "curl_easy_perform", library.easy_perform, missing) &&
                          resolveSymbol(handle, "curl_easy_strerror", library.easy_strerror, missing) &&
                          resolveSymbol(handle, "curl_free", library.free, missing) &&
                          resolveSymbol(handle, "curl_url", library.url, missing) &&
                          resolveSymbol(handle, "curl_url_cleanup", library.url_cleanup, missing) &&
                          resolveSymbol(handle, "curl_url_get", library.url_get, missing) &&
                          resolveSymbol(handle, "curl_url_set", library.url_set, missing) &&
                          resolveSymbol(handle, "curl_slist_append", library.slist_append, missing) &&
                          resolveSymbol(handle, "curl_slist_free_all", library.slist_free_all, missing) &&
                          resolveSymbol(handle, "curl_multi_init", library.multi_init, missing) &&
                          resolveSymbol(handle, "curl_multi_cleanup", library.multi_cleanup, missing) &&
                          resolveSymbol(handle, "curl_multi_add_handle", library.multi_add_handle, missing) &&
                          resolveSymbol(handle, "curl_multi_remove_handle", library.multi_remove_handle, missing) &&
                          resolveSymbol(handle, "curl_multi_perform", library.multi_perform, missing) &&
                          resolveSymbol(handle, "curl_multi_poll", library.multi_poll, missing) &&
                          resolveSymbol(handle, "curl_multi_info_read", library.multi_info_read, missing) &&
                          resolveSymbol(handle, "curl_multi_wakeup", library.multi_wakeup, missing);
    if (!complete) {
        ::dlclose(handle);
        return unavailable(std::string(kUnavailable) + ": " + fileName + " has no " + missing);
    }
    library.loaded = true;
    return library;
}

const CurlLibrary& curlLibrary() {
    // Set up once, before any request is made, by whichever caller comes first.
    static const CurlLibrary library = [] {
        CurlLibrary opened = CurlLibrary::open("libcurl.so.4");
        if (opened.loaded) opened.global_init(CURL_GLOBAL_DEFAULT);
        return opened;
    }();
    return library;
}

}  // namespace harbelle::sync
