// The paste engine's host over the real store and shelf panel controller.
#include "shell/AppPasteEngineHost.h"
#include "shell/ShelfPanelTestSupport.h"
#include "support/FakePasteboard.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {
namespace {

class AppPasteEngineHostTest : public ShelfPanelFixture {
protected:
    FakePasteboard pasteboard;
    bool impossible = false;
    std::unique_ptr<AppPasteEngineHost> host;

    void build(AppPasteEngineHost::Services services = {}) {
        HistoryStoreOptions options;
        options.applicationSupport = std::filesystem::path(temp.path().toStdString()) / "Pemberlow";
        options.bundleIdentifier = "com.harbelleapp.Harbelle";
        options.pasteboard = &pasteboard;
        options.workspace = &workspace;
        store = std::make_unique<HistoryStore>(defaults, clock, options);
        ShelfPanelControllerOptions panelOptions;
        panelOptions.qaTransientFocusFailureCount = 1;
        makeController(panelOptions);
        if (!services.directPasteImpossible) services.directPasteImpossible = [this] { return impossible; };
        host = std::make_unique<AppPasteEngineHost>(*store, *controller, std::move(services));
    }

    void TearDown() override {
        host.reset();
        ShelfPanelFixture::TearDown();
    }
};

TEST_F(AppPasteEngineHostTest, TheTargetIsWhatTheShelfRememberedWithTheActiveWindow) {
    build();
    EXPECT_FALSE(host->rememberedPasteTarget()) << "nothing remembered yet";

    const AXElement field = accessibility.addElement(kEditorPID, ElementInfo{.role = "text", .focused = true});
    accessibility.setFocusedElement(kEditorPID, field);
    workspace.frontmost = app(kEditorPID, "gedit");
    workspace.frontmostWindowID = 0x1200003;
    controller->show();
    clock.runDue();
    auto target = host->rememberedPasteTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->processIdentifier(), kEditorPID);
    EXPECT_TRUE(sameElement(target->focusedElement, field));
    EXPECT_EQ(target->nativeWindow, std::optional<std::uint32_t>(0x1200003));

    // A target named by process id has no window of its own: the paste activates the process.
    controller->setPasteTarget(kBrowserPID);
    target = host->rememberedPasteTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->processIdentifier(), kBrowserPID);
    EXPECT_FALSE(target->nativeWindow);
}

TEST_F(AppPasteEngineHostTest, HidingForAPasteGivesNothingBackWhileTheCopyOnlyEndReturns) {
    build();
    workspace.frontmost = app(kEditorPID, "gedit");
    controller->show();
    workspace.activations.clear();

    host->hidePanelWithoutReturning();
    EXPECT_FALSE(controller->isVisible());
    EXPECT_TRUE(workspace.activations.empty());

    controller->show();
    host->hidePanelAndReturn();
    EXPECT_FALSE(controller->isVisible());
    EXPECT_EQ(workspace.activations, (std::vector<ProcessID>{kEditorPID}));
}

TEST_F(AppPasteEngineHostTest, SettingsPermissionsAndFlagsComeFromTheirOwners) {
    int beeps = 0;
    AppPasteEngineHost::Services services;
    services.beep = [&] { ++beeps; };
    services.readPermissions = [] { return DirectPastePermissions{true, true, false}; };
    services.demoMode = false;
    services.forceEventPaste = true;
    build(services);

    EXPECT_TRUE(host->pasteDirectly());
    impossible = true;
    EXPECT_FALSE(host->pasteDirectly()) << "a session that can never paste directly copies";
    EXPECT_FALSE(host->forceEventPaste()) << "a demo-only argument";

    EXPECT_FALSE(host->currentDirectPastePermissions().eventPostingAllowed);
    host->updateDirectPastePermissionStatus(true, false);
    EXPECT_FALSE(store->eventPostingAccessGranted());
    host->beep();
    EXPECT_EQ(beeps, 1);

    EXPECT_EQ(host->qaRemainingTransientFocusFailures(), 1);
    host->consumeQaTransientFocusFailure();
    host->consumeQaTransientFocusFailure();
    EXPECT_EQ(host->qaRemainingTransientFocusFailures(), 0);

    host->setPasteTransactionIsActive(true);
    EXPECT_TRUE(controller->pasteTransactionIsActive());
}

TEST_F(AppPasteEngineHostTest, TheClipboardWriteIsTheStoresOwnAndFailsForAClipWithNothingToWrite) {
    build();
    ASSERT_TRUE(host->writeClipToPasteboard(ClipBuilder("hello"), true));
    EXPECT_EQ(store->lastSeenChangeCount(), pasteboard.changeCount());

    EXPECT_FALSE(host->writeClipToPasteboard(ClipBuilder("", ClipKind::image).payload("gone.png"), false));
    EXPECT_EQ(pasteboard.writes.size(), 1u);
}

}  // namespace
}  // namespace harbelle::testing
