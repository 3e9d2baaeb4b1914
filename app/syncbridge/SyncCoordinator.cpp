#include "syncbridge/SyncCoordinator.h"

#include <QTimer>
#include <cstdlib>

namespace harbelle {

namespace {

std::optional<QUrl> permittedURL(const std::string& text) {
    // Taken as given, untrimmed: a value with stray spaces is no address.
    QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || !SyncCoordinator::isPermittedEndpoint(url)) return std::nullopt;
    return url;
}

}  // namespace

SyncCoordinator::SyncCoordinator(bool demoMode, Defaults& defaults, QObject* parent)
    : SyncCoordinator(demoMode, defaults, processEnvironment(), BundleInfo::main(), parent) {}

SyncCoordinator::SyncCoordinator(bool demoMode, Defaults& defaults, const Environment& environment,
                                 const BundleInfo& bundle, QObject* parent)
    : SyncAccountService(parent), demoMode_(demoMode), defaults_(defaults) {
    if (!demoMode_) syncBaseURL_ = resolveBaseURL(environment, bundle);
}

SyncCoordinator::Environment SyncCoordinator::processEnvironment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (!value) return std::nullopt;
        return std::string(value);
    };
}

std::optional<QUrl> SyncCoordinator::resolveBaseURL(const Environment& environment, const BundleInfo& bundle) {
    // A refused environment value falls back to the dictionary; it never disables it.
    if (environment) {
        if (auto value = environment(kBaseURLEnvironmentVariable)) {
            if (auto url = permittedURL(*value)) return url;
        }
    }
    if (auto value = bundle.string(kBaseURLInfoKey)) {
        if (auto url = permittedURL(*value)) return url;
    }
    return std::nullopt;
}

bool SyncCoordinator::isPermittedEndpoint(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    const QString host = url.host().toLower();
    if (scheme.isEmpty() || host.isEmpty()) return false;
    if (!url.userName().isEmpty() || !url.password().isEmpty()) return false;
    if (scheme == QLatin1String("https")) return true;
    return scheme == QLatin1String("http") &&
           (host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") ||
            host == QLatin1String("::1"));
}

void SyncCoordinator::setActive(bool active) {
    if (active && !isAvailable()) return;
    wantsActive_ = active;
    ++lifecycleGeneration_;
    // The engine's stop or bootstrap-and-start sequence joins here when the engine lands; each
    // step will compare its generation with lifecycleGeneration_ before going on.
}

}  // namespace harbelle

namespace harbelle {

void SyncCoordinator::answerUnavailable(Completion done) {
    if (!done) return;
    // Answers arrive later, as a real round trip's would.
    QTimer::singleShot(0, this, [done = std::move(done)] { done(std::string(kUnavailableMessage)); });
}

void SyncCoordinator::signIn(const std::string&, const std::string&, Completion done) {
    answerUnavailable(std::move(done));
}

void SyncCoordinator::createAccount(const std::string&, const std::string&, const std::string&, Completion done) {
    answerUnavailable(std::move(done));
}

void SyncCoordinator::changePassword(const std::string&, const std::string&, Completion done) {
    answerUnavailable(std::move(done));
}

void SyncCoordinator::syncNow(Completion done) { answerUnavailable(std::move(done)); }

void SyncCoordinator::signOut(Completion done) {
    // Nobody is signed in, so there is nothing to remove: that is a success.
    if (!done) return;
    QTimer::singleShot(0, this, [done = std::move(done)] { done(std::nullopt); });
}

}  // namespace harbelle
