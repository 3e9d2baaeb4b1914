#pragma once

#include <curl/curl.h>

#include <string>

namespace harbelle::sync {

// libcurl, opened the first time a request is made instead of linked: it brings some twenty
// libraries (two TLS stacks, LDAP, Kerberos, SSH), their start-up work and their pages, which an
// agent that never syncs and seldom checks for updates would carry for its whole life.
// When the library cannot be opened, every entry fails as libcurl reports failure (no handle,
// CURLE_FAILED_INIT, ...) and `error` says why.
struct CurlLibrary {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_reset) easy_reset;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_perform) easy_perform;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_free) free;
    decltype(&::curl_url) url;
    decltype(&::curl_url_cleanup) url_cleanup;
    decltype(&::curl_url_get) url_get;
    decltype(&::curl_url_set) url_set;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
    decltype(&::curl_multi_init) multi_init;
    decltype(&::curl_multi_cleanup) multi_cleanup;
    decltype(&::curl_multi_add_handle) multi_add_handle;
    decltype(&::curl_multi_remove_handle) multi_remove_handle;
    decltype(&::curl_multi_perform) multi_perform;
    decltype(&::curl_multi_poll) multi_poll;
    decltype(&::curl_multi_info_read) multi_info_read;
    decltype(&::curl_multi_wakeup) multi_wakeup;

    bool loaded = false;
    std::string error;

    // Opens the library of that file name; the handle stays open for the process's life.
    static CurlLibrary open(const char* fileName);
};

// The process's libcurl, opened and globally initialised on the first call.
const CurlLibrary& curlLibrary();

}  // namespace harbelle::sync
