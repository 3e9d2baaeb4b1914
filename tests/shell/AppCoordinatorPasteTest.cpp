// The application delegate's paste and capture wiring: the store's paste requests reach the
// paste engine, the toggle and quitting abandon it, and the capture services reach the store.
#include <QSystemTrayIcon>
#include <fstream>
#include <sstream>

#include "history/HistoryCodec.h"
#include "shell/AppCoordinatorTestSupport.h"
#include "shell/StatusItem.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class AppCoordinatorPasteTest : public AppCoordinatorFixture {
protected:
    void SetUp() override {
        AppCoordinatorFixture::SetUp();
        defaults.setBool(AppCoordinator::kHasLaunchedKey, true);
    }

    ClipItem textClip(const std::string& text) const {
        return ClipBuilder(text).titled().at(clock.now()).realFingerprint();
    }

    // Opens the shelf with the hot key, as the user does over the editor.
    void openShelf() { ASSERT_TRUE(hotKeys.fake.press(HotKeyCombination::shiftCommandV())); }

    // The real capture services, as the program has them.
    void withRealCaptureServices() {
        adjustDependencies = [](AppCoordinatorDependencies& d) {
            d.startMonitoring = nullptr;
            d.stopMonitoring = nullptr;
            d.setCapturePaused = nullptr;
        };
    }

    void copyText(const std::string& text) {
        workspace.clipboardOwner = kEditorPID;
        pasteboard.setContents({{std::string(pasteboardtype::plainText), Bytes(text.begin(), text.end())}});
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> all;
        for (const auto& item : store().items()) all.push_back(item.text);
        return all;
    }
};

TEST_F(AppCoordinatorPasteTest, ADirectPasteGoesIntoTheFieldTheShelfWasOpenedOver) {
    const AXElement field = addEditorField("Dear ");
    launch({"--paste-diagnostics"});
    store().updatePasteUsesSystemShortcut(false);
    store().insert(textClip("older"));
    store().insert(textClip("newer"));
    openShelf();
    clock.runDue();
    ASSERT_TRUE(panel().isVisible());
    ASSERT_EQ(panel().pasteTarget().nativeWindow(), std::optional<std::uint32_t>(kEditorWindow));

    store().requestPaste(store().items().at(1), false);
    EXPECT_FALSE(panel().isVisible()) << "the shelf goes before the target is activated";
    EXPECT_EQ(workspace.windowActivations, (std::vector<std::uint32_t>{kEditorWindow}));
    clock.advance(1s);

    EXPECT_EQ(fieldValue(field), "Dear older");
    EXPECT_EQ(store().items().front().text, "older") << "a pasted clip moves to the top";
    EXPECT_TRUE(store().directPasteVerified());
    EXPECT_FALSE(panel().pasteTransactionIsActive());
    EXPECT_FALSE(coordinator->pasteEngine()->activePasteOperationGeneration());
    EXPECT_FALSE(store().toastMessage().has_value());
    EXPECT_FALSE(logged("beep"));
    EXPECT_NE(std::find(output.begin(), output.end(),
                        "[DirectPaste] target=501 directText=true AX=true postEvent=true generation=1"),
              output.end());
    EXPECT_TRUE(pasteboard.writes.empty());
}

TEST_F(AppCoordinatorPasteTest, TheShortcutRouteWritesTheClipAsTheStoresOwnAndSendsCtrlV) {
    const AXElement field = addEditorField("Dear ");
    launch();
    ASSERT_TRUE(store().pasteUsesSystemShortcut()) << "the default";
    store().insert(textClip("hello"));
    openShelf();
    clock.runDue();
    store().requestPaste(store().items().front(), false);
    clock.advance(2s);

    ASSERT_EQ(pasteboard.writes.size(), 1u);
    EXPECT_EQ(store().lastSeenChangeCount(), pasteboard.changeCount()) << "capture never takes it back";
    using Kind = FakeKeyEventPoster::Event::Kind;
    EXPECT_EQ(poster.events(), (std::vector<FakeKeyEventPoster::Event>{{Kind::keyDown, kEditorPID},
                                                                       {Kind::keyUp, kEditorPID}}));
    // The twin's field ignores keys, so the engine reports the unchanged field.
    EXPECT_EQ(fieldValue(field), "Dear ");
    EXPECT_EQ(store().toastMessage(), std::optional<std::string>("Couldn't paste there \u2014 press Ctrl+V to paste it"));
    EXPECT_TRUE(logged("beep"));
    EXPECT_FALSE(panel().isVisible());
}

TEST_F(AppCoordinatorPasteTest, APasteWaitsForTheShelfToFinishReadingItsTarget) {
    const AXElement field = addEditorField();
    launch();
    store().updatePasteUsesSystemShortcut(false);
    store().insert(textClip("hello"));
    accessibility.setReplyDelay(300ms);  // a slow application behind the shelf
    openShelf();
    ASSERT_TRUE(panel().isCapturingTarget());

    store().requestPaste(store().items().front(), false);
    EXPECT_TRUE(coordinator->hasPasteWaitingForTarget());
    EXPECT_TRUE(panel().isVisible()) << "nothing happens before the target is known";
    EXPECT_TRUE(workspace.windowActivations.empty());

    clock.advance(300ms);
    EXPECT_FALSE(coordinator->hasPasteWaitingForTarget());
    EXPECT_FALSE(panel().isVisible());
    clock.advance(3s);
    EXPECT_EQ(fieldValue(field), "hello");
}

TEST_F(AppCoordinatorPasteTest, TheToggleDropsAWaitingPasteAndAbandonsARunningOne) {
    const AXElement field = addEditorField();
    launch({"--paste-diagnostics"});
    store().updatePasteUsesSystemShortcut(false);
    store().insert(textClip("hello"));
    accessibility.setReplyDelay(300ms);

    // Waiting for the target: the hot key drops the request.
    openShelf();
    store().requestPaste(store().items().front(), false);
    ASSERT_TRUE(coordinator->hasPasteWaitingForTarget());
    hotKeys.fake.press(HotKeyCombination::shiftCommandV());
    EXPECT_FALSE(coordinator->hasPasteWaitingForTarget());
    EXPECT_FALSE(panel().isVisible());
    clock.advance(3s);
    EXPECT_EQ(fieldValue(field), "");

    // Running, its focus restoration waiting for the editor: the status item abandons it.
    coordinator->statusItem()->activated(QSystemTrayIcon::Trigger);
    clock.advance(300ms);
    ASSERT_FALSE(panel().isCapturingTarget());
    store().requestPaste(store().items().front(), false);
    ASSERT_TRUE(coordinator->pasteEngine()->activePasteOperationGeneration());
    output.clear();
    coordinator->statusItem()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(output, (Strings{"[DirectPaste] cancelled stale paste operation"}));
    EXPECT_FALSE(panel().pasteTransactionIsActive());
    EXPECT_TRUE(panel().isVisible()) << "the shelf was hidden by the paste, so the toggle opens it";
    clock.advance(5s);
    EXPECT_EQ(fieldValue(field), "") << "no step of the abandoned paste runs";
    EXPECT_TRUE(poster.events().empty());
}

TEST_F(AppCoordinatorPasteTest, QuittingAbandonsThePasteFirstThenStopsSyncAndSavesTheHistory) {
    // What was still running when each diagnostic line was written.
    Strings stateAtLine;
    adjustDependencies = [this, &stateAtLine](AppCoordinatorDependencies& d) {
        d.startMonitoring = nullptr;
        d.stopMonitoring = nullptr;
        d.writeOutput = [this, &stateAtLine](const std::string& line) {
            output.push_back(line);
            stateAtLine.push_back(std::string(coordinator->syncCoordinator()->wantsActive() ? "sync" : "-") + " " +
                                  (coordinator->store()->isMonitoring() ? "capture" : "-"));
        };
    };
    const AXElement field = addEditorField();
    launch({"--paste-diagnostics"});
    store().insert(textClip("keep me"));
    accessibility.setReplyDelay(300ms);
    openShelf();
    clock.advance(300ms);
    store().requestPaste(store().items().front(), false);
    ASSERT_TRUE(coordinator->pasteEngine()->activePasteOperationGeneration());
    const auto history = support() / "history.json";
    ASSERT_FALSE(std::filesystem::exists(history)) << "the save waits 0.45 s";

    output.clear();
    stateAtLine.clear();
    coordinator->quit();
    EXPECT_EQ(output, (Strings{"[DirectPaste] cancelled stale paste operation"}));
    EXPECT_EQ(stateAtLine, (Strings{"sync capture"})) << "the paste is abandoned before anything else stops";
    EXPECT_FALSE(coordinator->syncCoordinator()->wantsActive());
    EXPECT_FALSE(store().isMonitoring());
    EXPECT_FALSE(panel().pasteTransactionIsActive());

    clock.advance(5s);
    EXPECT_EQ(fieldValue(field), "");
    EXPECT_TRUE(poster.events().empty()) << "no key of the abandoned paste goes out";
    std::ifstream in(history, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const auto decoded = historycodec::decode(bytes.str());
    ASSERT_EQ(decoded.items.size(), 1u);
    EXPECT_EQ(decoded.items.front().text, "keep me");
}

TEST_F(AppCoordinatorPasteTest, CaptureServicesRunTheStoresClipboardPoll) {
    withRealCaptureServices();
    launch();
    ASSERT_TRUE(store().isMonitoring());

    copyText("first copy");
    clock.advance(HistoryStore::kPollInterval);
    EXPECT_EQ(texts(), (Strings{"first copy"}));

    // Paused from the status menu: a copy made meanwhile never comes in.
    coordinator->toggleCapture();
    EXPECT_TRUE(store().isPaused());
    copyText("while paused");
    clock.advance(HistoryStore::kPollInterval);
    coordinator->toggleCapture();
    clock.advance(HistoryStore::kPollInterval);
    EXPECT_EQ(texts(), (Strings{"first copy"}));

    // A clip the program writes itself is never captured again.
    copyText("second copy");
    clock.advance(HistoryStore::kPollInterval);
    store().updatePasteDirectly(false);
    store().requestPaste(store().items().at(1), false);
    ASSERT_EQ(pasteboard.writes.size(), 1u);
    clock.advance(HistoryStore::kPollInterval * 3);
    EXPECT_EQ(texts(), (Strings{"first copy", "second copy"}));
}

TEST_F(AppCoordinatorPasteTest, MissingAccessStopsTheStoresCapture) {
    withRealCaptureServices();
    accessibility.setTrusted(false);
    accessibility.setGrantsTrustOnRequest(false);
    launch();
    EXPECT_FALSE(store().isMonitoring()) << "capture waits for the permission sheet";
    store().setShowPermissionSetup(false);
    store().finishPermissionSetup();
    EXPECT_FALSE(store().isMonitoring());
    EXPECT_TRUE(store().showPermissionSetup());

    store().updatePasteDirectly(false);
    store().finishPermissionSetup();
    EXPECT_TRUE(store().isMonitoring());
}

TEST_F(AppCoordinatorPasteTest, WhereDirectPasteCanNeverBeGrantedEveryPasteCopies) {
    accessibility.setAvailable(false);
    launch();
    ASSERT_TRUE(store().pasteDirectly());
    store().insert(textClip("hello"));
    openShelf();
    clock.runDue();
    store().requestPaste(store().items().front(), false);
    EXPECT_EQ(pasteboard.writes.size(), 1u);
    EXPECT_EQ(store().toastMessage(), std::optional<std::string>("Copied to the clipboard"));
    EXPECT_FALSE(store().showPermissionSetup()) << "no sheet asks for what cannot be granted";
    EXPECT_FALSE(logged("beep"));
}

TEST_F(AppCoordinatorPasteTest, EnableLoginTurnsTheStoresLaunchAtLoginOn) {
    adjustDependencies = [](AppCoordinatorDependencies& d) { d.enableLaunchAtLogin = nullptr; };
    launch({"--enable-login"});
    EXPECT_TRUE(store().launchAtLogin());
    EXPECT_EQ(loginItems.registerCalls, 1);
    EXPECT_EQ(defaults.boolValue("launchAtLoginRequested"), true);
}

}  // namespace
}  // namespace harbelle::testing
