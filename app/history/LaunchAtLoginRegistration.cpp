#include "history/LaunchAtLoginRegistration.h"

#include <memory>

namespace harbelle {

namespace {

// Holds what a refresh needs until its last step, which may come after refresh() returned.
struct RefreshRun : std::enable_shared_from_this<RefreshRun> {
    Defaults& defaults;
    LoginItemService& service;
    LaunchAtLoginRegistration::RefreshCompletion completion;
    bool wish = false;

    RefreshRun(Defaults& d, LoginItemService& s, LaunchAtLoginRegistration::RefreshCompletion c)
        : defaults(d), service(s), completion(std::move(c)) {}

    void fail(LoginItemError error) { completion({std::nullopt, std::move(error)}); }

    void close() {
        const LoginItemStatus status = service.status();
        if (wish != isLoginItemOn(status)) return fail(LaunchAtLoginRegistration::mismatchError());
        defaults.set(LaunchAtLoginRegistration::kRequestedKey, wish);
        completion({status, std::nullopt});
    }

    void registration() {
        if (wish) {
            if (auto error = service.registerItem(); error && !isLoginItemOn(service.status()))
                return fail(*error);
        }
        close();
    }

    void start() {
        if (!isLoginItemOn(service.status())) return registration();
        service.unregisterItem([self = shared_from_this()](std::optional<LoginItemError> error) {
            if (error && isLoginItemOn(self->service.status())) return self->fail(*error);
            self->registration();
        });
    }
};

}  // namespace

LoginItemError LaunchAtLoginRegistration::mismatchError() {
    return LoginItemError{kMismatchDomain, kMismatchCode, kMismatchDescription};
}

bool LaunchAtLoginRegistration::requestedPreference(Defaults& defaults, LoginItemService& service) {
    if (auto stored = defaults.object(kRequestedKey); stored && stored->is_boolean()) return stored->get<bool>();
    const bool wish = isLoginItemOn(service.status());
    defaults.set(kRequestedKey, wish);
    return wish;
}

void LaunchAtLoginRegistration::refresh(Defaults& defaults, LoginItemService& service, RefreshCompletion completion) {
    auto run = std::make_shared<RefreshRun>(defaults, service, std::move(completion));
    run->wish = requestedPreference(defaults, service);
    run->start();
}

bool LaunchAtLoginRegistration::updateLaunchAtLogin(bool enabled, Defaults& defaults, LoginItemService& service,
                                                    const ToastSink& toast) {
    const bool wasOn = isLoginItemOn(service.status());
    std::optional<LoginItemError> error;
    if (enabled && !wasOn) error = service.registerItem();
    else if (!enabled && wasOn) error = service.unregisterItem();

    // The saved wish follows what the item really is, not what was asked for.
    const LoginItemStatus status = service.status();
    const bool on = isLoginItemOn(status);
    defaults.set(kRequestedKey, on);
    if (!toast) return on;
    if (error) toast("Could not change login setting", ToastTone::error);
    else if (status == LoginItemStatus::requiresApproval) toast("Approve Harbelle in Login Items", ToastTone::info);
    else if (on) toast("Harbelle will open at login", ToastTone::success);
    else toast("Launch at login turned off", ToastTone::success);
    return on;
}

}  // namespace harbelle
