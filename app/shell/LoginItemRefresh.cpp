#include "shell/LoginItemRefresh.h"

#include "history/LaunchAtLoginRegistration.h"

namespace harbelle::loginitem {

void refresh(Defaults& defaults, LoginItemService& service, LoginItemRefreshCompletion completion) {
    LaunchAtLoginRegistration::refresh(
        defaults, service, [completion = std::move(completion)](const LaunchAtLoginRegistration::RefreshResult& r) {
            if (completion) completion(LoginItemRefreshResult{r.status, r.error});
        });
}

bool enable(Defaults& defaults, LoginItemService& service,
            const std::function<void(const std::string&, ToastTone)>& toast) {
    return LaunchAtLoginRegistration::updateLaunchAtLogin(true, defaults, service, toast);
}

}  // namespace harbelle::loginitem
