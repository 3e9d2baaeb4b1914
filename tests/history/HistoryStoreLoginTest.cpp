// The store's launch-at-login toggle on the login item twin.
#include "history/HistoryStoreTestSupport.h"
#include "support/FakeLoginItemService.h"

namespace harbelle::testing {
namespace {

struct ToggleCase {
    const char* name;
    LoginItemStatus before;
    bool enabled;
    LoginItemStatus afterRegister;
    bool registerFails;
    bool unregisterFails;
    bool expectedOn;
    int registers;
    int unregisters;
    const char* toast;
    ToastTone tone;
};

class LoginToggleFixture : public HistoryStoreFixture {};

TEST_F(LoginToggleFixture, ToggleKeepsTheItemsRealStateAndSaysSo) {
    const ToggleCase cases[] = {
        {"on", LoginItemStatus::notRegistered, true, LoginItemStatus::enabled, false, false, true, 1, 0,
         "Harbelle will open at login", ToastTone::success},
        {"on needing approval", LoginItemStatus::notRegistered, true, LoginItemStatus::requiresApproval, false, false,
         true, 1, 0, "Approve Harbelle in Login Items", ToastTone::info},
        {"on while already on", LoginItemStatus::enabled, true, LoginItemStatus::enabled, false, false, true, 0, 0,
         "Harbelle will open at login", ToastTone::success},
        {"off", LoginItemStatus::enabled, false, LoginItemStatus::enabled, false, false, false, 0, 1,
         "Launch at login turned off", ToastTone::success},
        {"off while not registered", LoginItemStatus::notRegistered, false, LoginItemStatus::enabled, false, false,
         false, 0, 0, "Launch at login turned off", ToastTone::success},
        {"on fails", LoginItemStatus::notRegistered, true, LoginItemStatus::enabled, true, false, false, 1, 0,
         "Could not change login setting", ToastTone::error},
        {"off fails", LoginItemStatus::enabled, false, LoginItemStatus::enabled, false, true, true, 0, 1,
         "Could not change login setting", ToastTone::error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        defaults.removeObject("launchAtLoginRequested");
        FakeLoginItemService service;
        service.currentStatus = c.before;
        service.statusAfterRegister = c.afterRegister;
        if (c.registerFails) service.registerError = LoginItemError{"test", 1, "no"};
        if (c.unregisterFails) service.unregisterError = LoginItemError{"test", 2, "no"};
        HistoryStoreOptions options;
        options.loginItemService = &service;
        auto store = makeStore(options);
        EXPECT_EQ(store->launchAtLogin(), isLoginItemOn(c.before)) << "the missing wish comes from the item";

        QSignalSpy changed(store.get(), &HistoryStore::launchAtLoginChanged);
        store->updateLaunchAtLogin(c.enabled);
        EXPECT_EQ(store->launchAtLogin(), c.expectedOn);
        EXPECT_EQ(defaults.boolValue("launchAtLoginRequested"), c.expectedOn);
        EXPECT_EQ(service.registerCalls, c.registers);
        EXPECT_EQ(service.unregisterCalls, c.unregisters);
        EXPECT_EQ(store->toastMessage(), c.toast);
        EXPECT_EQ(store->toastTone(), c.tone);
        EXPECT_EQ(changed.count(), 1);
    }
}

TEST_F(LoginToggleFixture, WithoutALoginItemServiceTheWishStays) {
    defaults.setBool("launchAtLoginRequested", true);
    auto store = makeStore();
    store->updateLaunchAtLogin(false);
    EXPECT_TRUE(store->launchAtLogin());
    EXPECT_EQ(defaults.boolValue("launchAtLoginRequested"), true);
    EXPECT_EQ(store->toastMessage(), "Could not change login setting");
    EXPECT_EQ(store->toastTone(), ToastTone::error);
}

}  // namespace
}  // namespace harbelle::testing
