// The paste transaction: copy only, the entry's refusals, generations and cancellation.
#include "PasteEngineTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;

using PasteEngineTransaction = PasteEngineFixture;

TEST_F(PasteEngineTransaction, CopyOnlyCopiesThenHidesTheShelfAfterAMoment) {
    host.pasteDirectlySetting = false;
    const ClipItem item = clip("copied");
    engine->paste(item, true);

    EXPECT_EQ(host.clipboardWrites, (std::vector<std::string>{"copied plain=true"}));
    EXPECT_TRUE(host.hasLine("copy-only requested kind=text wroteClipboard=true"));
    EXPECT_EQ(host.replayed, (std::vector<Uuid>{item.id}));
    ASSERT_EQ(host.toasts.size(), 1u);
    EXPECT_EQ(host.toasts[0], (Toast{"Copied to the clipboard", ToastTone::success}));
    EXPECT_TRUE(host.transactionActive);
    EXPECT_EQ(host.countEvent("cancelAutoHide"), 1);

    advanceMs(449);
    EXPECT_EQ(host.countEvent("hidePanelAndReturn"), 0);
    advanceMs(1);
    EXPECT_EQ(host.countEvent("hidePanelAndReturn"), 1);
    EXPECT_FALSE(host.transactionActive);
    EXPECT_EQ(host.countEvent("restartAutoHide"), 1);
    EXPECT_EQ(host.beeps, 0);
    EXPECT_TRUE(keys.events().empty());
    EXPECT_TRUE(workspace.activations.empty());
    EXPECT_FALSE(host.directPasteVerified);
}

TEST_F(PasteEngineTransaction, CopyOnlyKeepsTheToastOfAMarkRefusedForWantOfRoom) {
    host.pasteDirectlySetting = false;
    host.markHasRoom = false;
    engine->paste(clip("copied"), true);
    EXPECT_EQ(host.clipboardWrites, (std::vector<std::string>{"copied plain=true"}));
    EXPECT_EQ(host.toasts, (std::vector<Toast>{{HistoryStore::kCopyMarkTooLargeMessage, ToastTone::error}}));
    advanceMs(450);
    EXPECT_EQ(host.countEvent("hidePanelAndReturn"), 1);
}

TEST_F(PasteEngineTransaction, CopyOnlyOfAnUnavailableClipOpensNoTransaction) {
    host.pasteDirectlySetting = false;
    host.canWriteClipboard = false;
    engine->paste(clip("gone", ClipKind::image), false);

    EXPECT_TRUE(host.hasLine("copy-only requested kind=image wroteClipboard=false"));
    expectOnlyError("That clip is no longer available", false);
    EXPECT_EQ(engine->pasteOperationGeneration(), 0u);
    EXPECT_EQ(host.countEvent("cancelAutoHide"), 0);
    EXPECT_TRUE(host.replayed.empty());
}

TEST_F(PasteEngineTransaction, MissingPermissionAsksForSetupAndOpensNothing) {
    host.directPasteVerified = true;
    host.permissions.eventPostingAllowed = false;
    engine->paste(clip("x"), false);

    expectOnlyError("Direct-paste access is required first", false);
    EXPECT_TRUE(host.showPermissionSetup);
    EXPECT_TRUE(host.accessibilityGranted);
    EXPECT_FALSE(host.eventPostingGranted);
    EXPECT_FALSE(host.directPasteVerified);
    EXPECT_EQ(engine->pasteOperationGeneration(), 0u);
    EXPECT_TRUE(workspace.activations.empty());
}

TEST_F(PasteEngineTransaction, WithoutALivingTargetNothingIsPasted) {
    host.target.reset();
    engine->paste(clip("x"), false);
    expectOnlyError("Focus an input, then open Harbelle and click again", false);

    host.toasts.clear();
    host.beeps = 0;
    host.target = PasteTarget{editor, field, window, nullptr, std::nullopt};
    workspace.running = {shelfApp};  // the editor quit
    engine->paste(clip("x"), false);
    expectOnlyError("Focus an input, then open Harbelle and click again", false);
    EXPECT_EQ(engine->pasteOperationGeneration(), 0u);
}

TEST_F(PasteEngineTransaction, DirectTextOnlyForTextLikeClips) {
    EXPECT_EQ(PasteEngine::directInsertionText(clip("a")), std::optional<std::string>("a"));
    EXPECT_EQ(PasteEngine::directInsertionText(clip("https://x.org", ClipKind::link)),
              std::optional<std::string>("https://x.org"));
    EXPECT_TRUE(PasteEngine::directInsertionText(clip("int x;", ClipKind::code)));
    EXPECT_TRUE(PasteEngine::directInsertionText(clip("#ff0000", ClipKind::color)));
    EXPECT_FALSE(PasteEngine::directInsertionText(clip("", ClipKind::text)));
    EXPECT_FALSE(PasteEngine::directInsertionText(clip("photo", ClipKind::image)));
    EXPECT_FALSE(PasteEngine::directInsertionText(clip("/tmp/a", ClipKind::file)));
}

TEST_F(PasteEngineTransaction, TheSystemShortcutSettingChoosesTheRoute) {
    // Default settings: Ctrl+V even for text.
    engine->paste(clip("one"), false);
    EXPECT_TRUE(host.hasLine("target=200 directText=false AX=true postEvent=true generation=1"));
    EXPECT_TRUE(host.hasLine("target is frontmost pid=200"));
    EXPECT_EQ(host.countEvent("hidePanel"), 1);
    advanceMs(2000);
    EXPECT_EQ(keyEvents(Kind::keyDown), 1);
    EXPECT_EQ(fieldValue(), "hello world");

    // Outside demo mode the setting decides; in demo mode only the QA flag forces key events.
    host.systemShortcutSetting = false;
    engine->paste(clip("two"), false);
    EXPECT_TRUE(host.hasLine("target=200 directText=true AX=true postEvent=true generation=2"));
    host.systemShortcutSetting = true;
    host.demo = true;
    engine->paste(clip("three"), false);
    EXPECT_TRUE(host.hasLine("target=200 directText=true AX=true postEvent=true generation=3"));
    host.forceEvents = true;
    engine->paste(clip("four"), false);
    EXPECT_TRUE(host.hasLine("target=200 directText=false AX=true postEvent=true generation=4"));
}

TEST_F(PasteEngineTransaction, ASecondPasteSupersedesTheFirst) {
    host.systemShortcutSetting = false;
    activationsHeldBack = true;
    const ClipItem first = clip("first");
    const ClipItem second = clip("second");
    engine->paste(first, false);
    advanceMs(500);
    engine->paste(second, false);
    EXPECT_EQ(engine->activePasteOperationGeneration(), std::optional<std::uint64_t>(2));
    advanceMs(500);
    activationsHeldBack = false;
    workspace.bringToFront(editor);
    advanceMs(5000);

    EXPECT_EQ(fieldValue(), "hello worldsecond");
    EXPECT_EQ(host.replayed, (std::vector<Uuid>{second.id}));
    EXPECT_TRUE(host.toasts.empty()) << "the first one's wait must not time out";
    EXPECT_EQ(host.beeps, 0);
    EXPECT_FALSE(host.transactionActive);
}

TEST_F(PasteEngineTransaction, CancellingIsSilent) {
    activationsHeldBack = true;
    engine->paste(clip("x", ClipKind::image), false);
    advanceMs(200);
    engine->cancelActivePasteOperation();
    EXPECT_TRUE(host.hasLine("cancelled stale paste operation"));
    EXPECT_FALSE(host.transactionActive);
    EXPECT_EQ(engine->pasteOperationGeneration(), 2u);
    EXPECT_FALSE(engine->activePasteOperationGeneration());

    activationsHeldBack = false;
    workspace.bringToFront(editor);
    advanceMs(10000);
    expectSilent();
    EXPECT_TRUE(keys.events().empty());
    EXPECT_TRUE(host.clipboardWrites.empty());

    // Nothing running: a cancel does nothing at all.
    const auto lines = host.lines.size();
    engine->cancelActivePasteOperation();
    EXPECT_EQ(host.lines.size(), lines);
    EXPECT_EQ(engine->pasteOperationGeneration(), 2u);
}

TEST_F(PasteEngineTransaction, ATargetThatQuitsOnActivationFails) {
    workspace.addActivationObserver([this](const std::optional<RunningApplication>&) {
        workspace.running = {shelfApp, browser};
        workspace.frontmost = shelfApp;
    });
    engine->paste(clip("x"), false);
    expectOnlyError("The intended app closed; nothing was pasted", true);
    EXPECT_EQ(host.countEvent("hidePanel"), 1);
}
