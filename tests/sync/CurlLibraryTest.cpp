#include <gtest/gtest.h>

#include "sync/CurlLibrary.h"

namespace harbelle::sync {
namespace {

TEST(CurlLibraryTest, OpensTheInstalledLibraryWithEveryEntry) {
    const CurlLibrary& library = curlLibrary();
    ASSERT_TRUE(library.loaded) << library.error;
    EXPECT_EQ(&library, &curlLibrary());  // opened once
    ASSERT_EQ(library.global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
    CURL* handle = library.easy_init();
    ASSERT_NE(handle, nullptr);
    // Variadic entries pass long, pointer and curl_off_t arguments through.
    EXPECT_EQ(library.easy_setopt(handle, CURLOPT_NOSIGNAL, 1L), CURLE_OK);
    EXPECT_EQ(library.easy_setopt(handle, CURLOPT_URL, "https://example.invalid/"), CURLE_OK);
    EXPECT_EQ(library.easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(1) << 40), CURLE_OK);
    long status = -1;
    EXPECT_EQ(library.easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status), CURLE_OK);
    EXPECT_EQ(status, 0);
    library.easy_cleanup(handle);

    CURLU* url = library.url();
    ASSERT_NE(url, nullptr);
    ASSERT_EQ(library.url_set(url, CURLUPART_URL, "https://Example.org:8443/a", 0), CURLUE_OK);
    char* host = nullptr;
    ASSERT_EQ(library.url_get(url, CURLUPART_HOST, &host, 0), CURLUE_OK);
    EXPECT_STREQ(host, "Example.org");
    library.free(host);
    library.url_cleanup(url);
}

TEST(CurlLibraryTest, AMissingLibraryFailsEveryEntryAndSaysWhy) {
    const CurlLibrary library = CurlLibrary::open("libharbelle-no-such-curl.so.4");
    EXPECT_FALSE(library.loaded);
    EXPECT_NE(library.error.find("libcurl could not be loaded"), std::string::npos) << library.error;
    EXPECT_NE(library.error.find("libharbelle-no-such-curl.so.4"), std::string::npos) << library.error;
    EXPECT_EQ(library.global_init(CURL_GLOBAL_DEFAULT), CURLE_FAILED_INIT);
    EXPECT_EQ(library.easy_init(), nullptr);
    EXPECT_EQ(library.multi_init(), nullptr);
    EXPECT_EQ(library.url(), nullptr);
    EXPECT_EQ(library.easy_setopt(nullptr, CURLOPT_NOSIGNAL, 1L), CURLE_FAILED_INIT);
    EXPECT_EQ(library.easy_perform(nullptr), CURLE_FAILED_INIT);
    EXPECT_STREQ(library.easy_strerror(CURLE_FAILED_INIT), "libcurl could not be loaded");
    EXPECT_EQ(library.slist_append(nullptr, "Expect:"), nullptr);
    EXPECT_EQ(library.multi_info_read(nullptr, nullptr), nullptr);
    library.easy_cleanup(nullptr);
    library.slist_free_all(nullptr);
}

TEST(CurlLibraryTest, ALibraryWithoutTheEntriesIsRefused) {
    // libc opens, but has none of libcurl's entries.
    const CurlLibrary library = CurlLibrary::open("libc.so.6");
    EXPECT_FALSE(library.loaded);
    EXPECT_NE(library.error.find("has no curl_global_init"), std::string::npos) << library.error;
    EXPECT_EQ(library.easy_init(), nullptr);
}

}  // namespace
}  // namespace harbelle::sync
