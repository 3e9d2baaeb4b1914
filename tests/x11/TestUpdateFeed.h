#pragma once

// A test update feed for the real program: it reads the feed and its key from the environment
// at start-up, so a program started while one of these lives offers updates.

#include <QByteArray>
#include <QtGlobal>

#include <string>

namespace harbelle::testing {

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const QByteArray& value) : name_(name) { qputenv(name, value); }
    ~ScopedEnvironment() { qunsetenv(name_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
};

// A test feed instead of the build's: the address and a well-formed key.
struct TestFeed {
    explicit TestFeed(const std::string& url, const std::string& caFile = {})
        : url_("HARBELLE_UPDATE_FEED_URL", QByteArray::fromStdString(url)),
          key_("HARBELLE_UPDATE_PUBLIC_ED_KEY", QByteArray(32, 'k').toBase64()),
          ca_("HARBELLE_UPDATE_CA_FILE", QByteArray::fromStdString(caFile)) {}
    ScopedEnvironment url_, key_, ca_;
};

}  // namespace harbelle::testing
