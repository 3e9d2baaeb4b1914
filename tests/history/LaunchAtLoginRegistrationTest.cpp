#include <gtest/gtest.h>

#include "history/LaunchAtLoginRegistration.h"
#include "support/FakeLoginItemService.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;
using harbelle::testing::FakeLoginItemService;
using harbelle::testing::InMemoryDefaults;
using Result = LaunchAtLoginRegistration::RefreshResult;

namespace {

constexpr const char* kKey = "launchAtLoginRequested";
const LoginItemError kPlatformError{"platform", 7, "boom"};

struct LoginFixture : ::testing::Test {
    InMemoryDefaults defaults;
    FakeLoginItemService service;
    std::vector<Result> results;

    void refresh() {
        LaunchAtLoginRegistration::refresh(defaults, service, [this](const Result& r) { results.push_back(r); });
    }
    std::optional<bool> stored() const {
        auto value = defaults.object(kKey);
        if (!value || !value->is_boolean()) return std::nullopt;
        return value->get<bool>();
    }
};

TEST_F(LoginFixture, RequestedPreferenceIsSeededFromTheItemOnce) {
    service.currentStatus = LoginItemStatus::requiresApproval;
    EXPECT_TRUE(LaunchAtLoginRegistration::requestedPreference(defaults, service));
    EXPECT_EQ(stored(), true);

    defaults.set(kKey, false);
    service.currentStatus = LoginItemStatus::enabled;
    const int writes = defaults.writeCount();
    EXPECT_FALSE(LaunchAtLoginRegistration::requestedPreference(defaults, service));
    EXPECT_EQ(defaults.writeCount(), writes);

    defaults.set(kKey, "yes");  // not a Boolean: derived again
    service.currentStatus = LoginItemStatus::notFound;
    EXPECT_FALSE(LaunchAtLoginRegistration::requestedPreference(defaults, service));
    EXPECT_EQ(stored(), false);
}

TEST_F(LoginFixture, RefreshWithoutWishAndNoItemTouchesNothing) {
    defaults.set(kKey, false);
    refresh();
    ASSERT_EQ(results.size(), 1u) << "reported before refresh returns";
    EXPECT_EQ(results[0].status, LoginItemStatus::notRegistered);
    EXPECT_EQ(service.registerCalls + service.unregisterCalls + service.asyncUnregisterCalls, 0);
    EXPECT_EQ(stored(), false);
}

TEST_F(LoginFixture, RefreshRenewsAnEnabledItemAfterTheUnregistrationReports) {
    defaults.set(kKey, true);
    service.currentStatus = LoginItemStatus::enabled;
    refresh();
    EXPECT_TRUE(results.empty()) << "waits for the unregistration's handler";
    EXPECT_EQ(service.asyncUnregisterCalls, 1);
    EXPECT_EQ(service.deliverPending(), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, LoginItemStatus::enabled);
    EXPECT_EQ(service.registerCalls, 1);
}

TEST_F(LoginFixture, RefreshOutcomes) {
    // Registration that needs approval still succeeds.
    defaults.set(kKey, true);
    service.statusAfterRegister = LoginItemStatus::requiresApproval;
    refresh();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, LoginItemStatus::requiresApproval);

    // Registration fails and the item is off: that error.
    results.clear();
    service.currentStatus = LoginItemStatus::notRegistered;
    service.registerError = kPlatformError;
    refresh();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].error, kPlatformError);

    // Registration reports an error but the item is on: success.
    results.clear();
    service.currentStatus = LoginItemStatus::notRegistered;
    service.statusAfterFailedRegister = LoginItemStatus::enabled;
    refresh();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, LoginItemStatus::enabled);
}

TEST_F(LoginFixture, RefreshReportsAMismatchWithoutSavingTheWish) {
    defaults.set(kKey, false);
    service.currentStatus = LoginItemStatus::enabled;
    service.statusAfterUnregister = LoginItemStatus::enabled;  // stays on, no error
    refresh();
    service.deliverPending();
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].error);
    EXPECT_EQ(results[0].error->localizedDescription, "Login item status did not match the saved preference.");
    EXPECT_EQ(results[0].error->domain, "com.brantlemoor.Pemberlow.login-item");
    EXPECT_EQ(results[0].error->code, 1);
}

TEST_F(LoginFixture, RefreshReportsAFailedUnregistrationWhileStillOn) {
    defaults.set(kKey, false);
    service.currentStatus = LoginItemStatus::enabled;
    service.unregisterError = kPlatformError;
    refresh();
    service.deliverPending();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].error, kPlatformError);
    EXPECT_EQ(service.registerCalls, 0);
}

TEST_F(LoginFixture, ToggleMatrixAndToasts) {
    struct Case {
        const char* name;
        LoginItemStatus before;
        bool enabled;
        LoginItemStatus afterRegister;
        bool failRegister, failUnregister;
        int registers, unregisters;
        bool result;
        Toast toast;
    };
    const Case cases[] = {
        {"on, needs approval", LoginItemStatus::notRegistered, true, LoginItemStatus::requiresApproval, false, false,
         1, 0, true, {"Approve Harbelle in Login Items", ToastTone::info}},
        {"on", LoginItemStatus::notRegistered, true, LoginItemStatus::enabled, false, false, 1, 0, true,
         {"Harbelle will open at login", ToastTone::success}},
        {"on while enabled", LoginItemStatus::enabled, true, LoginItemStatus::enabled, false, false, 0, 0, true,
         {"Harbelle will open at login", ToastTone::success}},
        {"off while not registered", LoginItemStatus::notRegistered, false, LoginItemStatus::enabled, false, false,
         0, 0, false, {"Launch at login turned off", ToastTone::success}},
        {"off", LoginItemStatus::enabled, false, LoginItemStatus::enabled, false, false, 0, 1, false,
         {"Launch at login turned off", ToastTone::success}},
        {"on fails", LoginItemStatus::notFound, true, LoginItemStatus::enabled, true, false, 1, 0, false,
         {"Could not change login setting", ToastTone::error}},
        {"off fails", LoginItemStatus::enabled, false, LoginItemStatus::enabled, false, true, 0, 1, true,
         {"Could not change login setting", ToastTone::error}},
    };
    for (const auto& c : cases) {
        FakeLoginItemService item;
        InMemoryDefaults store;
        item.currentStatus = c.before;
        item.statusAfterRegister = c.afterRegister;
        if (c.failRegister) item.registerError = kPlatformError;
        if (c.failUnregister) item.unregisterError = kPlatformError;
        std::vector<Toast> toasts;
        const bool on = LaunchAtLoginRegistration::updateLaunchAtLogin(
            c.enabled, store, item, [&](const std::string& m, ToastTone t) { toasts.push_back({m, t}); });
        EXPECT_EQ(on, c.result) << c.name;
        EXPECT_EQ(store.object(kKey), nlohmann::json(c.result)) << c.name << ": the wish follows the item";
        EXPECT_EQ(item.registerCalls, c.registers) << c.name;
        EXPECT_EQ(item.unregisterCalls, c.unregisters) << c.name;
        ASSERT_EQ(toasts.size(), 1u) << c.name;
        EXPECT_EQ(toasts[0], c.toast) << c.name;
    }
}

}  // namespace
