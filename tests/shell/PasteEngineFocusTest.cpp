// Waiting for the target, restoring its focus and inserting text over the selection.
#include "PasteEngineTestSupport.h"

#include <algorithm>

using namespace harbelle;
using namespace harbelle::testing;

namespace {
struct PasteEngineFocus : PasteEngineFixture {
    PasteEngineFocus() { host.systemShortcutSetting = false; }
    // The field will not take focus, and the editor reports no other focused element.
    void refuseFocus() {
        ax.refuseFocus(field);
        ax.setFocusedElement(kEditor, nullptr);
    }
};
}  // namespace

TEST_F(PasteEngineFocus, InsertsOverTheSelectionOnlyAndVerifiesDirectPaste) {
    ElementInfo info = ax.info(field);
    info.selection = TextRange{6, 11};
    info.caretOffset = 11;
    ax.setInfo(field, info);
    const ClipItem item = clip("Harbelle \u2713");
    engine->paste(item, false);
    clock.runDue();

    EXPECT_EQ(fieldValue(), "hello Harbelle \u2713");
    EXPECT_TRUE(host.hasLine("AX selected-text settable status=0 value=true"));
    EXPECT_TRUE(host.hasLine("AX selected-text insert status=0"));
    EXPECT_TRUE(host.hasLine("direct AX insertion succeeded"));
    EXPECT_TRUE(host.directPasteVerified);
    EXPECT_EQ(host.replayed, (std::vector<Uuid>{item.id}));
    EXPECT_TRUE(host.clipboardWrites.empty()) << "direct insertion leaves the clipboard alone";
    EXPECT_TRUE(keys.events().empty());
    expectSilent();
    EXPECT_FALSE(host.transactionActive);
    EXPECT_EQ(host.countEvent("restartAutoHide"), 1);
}

TEST_F(PasteEngineFocus, ARefusedInsertionFallsBackToCtrlV) {
    ax.refuseInsertion(field, AXStatus::notSupported);
    engine->paste(clip("text"), true);
    clock.runDue();
    EXPECT_TRUE(host.hasLine("AX selected-text settable status=0 value=false"));
    EXPECT_FALSE(host.hasLineStartingWith("AX selected-text insert status="));
    EXPECT_TRUE(host.hasLine("AX value/range fallback result=false"));
    EXPECT_TRUE(host.hasLine("falling back to synthetic Ctrl+V"));
    EXPECT_EQ(host.clipboardWrites, (std::vector<std::string>{"text plain=true"}));
    advanceMs(80);
    EXPECT_EQ(keyEvents(Kind::keyDown), 1);
    EXPECT_EQ(fieldValue(), "hello world");
}

// An insert that answered without changing the field may land before the paste key goes out: the
// key then stays unsent, or the clip would be there twice. A field that only lost its selection
// to the insert still gets the key.
TEST_F(PasteEngineFocus, AnInsertLandingLateIsNotFollowedByItsPasteKey) {
    ax.refuseInsertion(field);
    engine->paste(clip(" late"), false);
    clock.runDue();
    ASSERT_TRUE(host.hasLine("falling back to synthetic Ctrl+V"));
    ElementInfo landed = ax.info(field);
    landed.value = "hello world late";
    ax.setInfo(field, landed);
    advanceMs(2000);
    EXPECT_TRUE(keys.events().empty());
    EXPECT_TRUE(host.hasLine("the accessible insert landed late; no paste key sent"));
    EXPECT_TRUE(host.directPasteVerified);
    expectSilent();

    ElementInfo selected = ax.info(field);
    selected.value = "hello world";
    selected.selection = TextRange{6, 11};
    ax.setInfo(field, selected);
    engine->paste(clip("there"), false);
    clock.runDue();
    ElementInfo emptied = ax.info(field);
    emptied.value = "hello ";
    emptied.selection.reset();
    ax.setInfo(field, emptied);
    advanceMs(80);
    EXPECT_EQ(keyEvents(Kind::keyDown), 1);
}

TEST_F(PasteEngineFocus, ATimedOutInsertionIsNeverFollowedByCtrlV) {
    ax.refuseInsertion(field, AXStatus::timedOut);
    engine->paste(clip("maybe later"), false);
    advanceMs(5000);
    EXPECT_TRUE(keys.events().empty()) << "the late insertion and a Ctrl+V would paste twice";
    EXPECT_EQ(host.clipboardWrites, (std::vector<std::string>{"maybe later plain=false"}));
    expectOnlyError("Couldn't paste there — press Ctrl+V to paste it", false);
    EXPECT_FALSE(host.directPasteVerified);
}

TEST_F(PasteEngineFocus, TheActivationWaitFindsALateTargetAndGivesUpAtThreeSeconds) {
    activationsHeldBack = true;
    engine->paste(clip("late"), false);
    advanceMs(1000);
    activationsHeldBack = false;
    workspace.bringToFront(editor);
    advanceMs(49);
    EXPECT_EQ(fieldValue(), "hello world");
    advanceMs(1);
    EXPECT_EQ(fieldValue(), "hello worldlate");

    // Never in front: the 60th check, 3 s after activation, fails.
    workspace.bringToFront(shelfApp);
    activationsHeldBack = true;
    engine->paste(clip("never"), false);
    advanceMs(2999);
    expectSilent();
    advanceMs(1);
    EXPECT_TRUE(host.hasLine("target activation timed out pid=200"));
    expectOnlyError("Could not return focus to the intended input", true);
}

TEST_F(PasteEngineFocus, ATargetThatQuitsWhileWaitedForFailsAtTheNextCheck) {
    activationsHeldBack = true;
    engine->paste(clip("x"), false);
    advanceMs(120);
    workspace.running = {shelfApp, browser};
    advanceMs(29);
    expectSilent();
    advanceMs(1);
    expectOnlyError("The intended app closed; nothing was pasted", true);
}

TEST_F(PasteEngineFocus, SwitchingAwayDuringRestorationLosesTheInput) {
    refuseFocus();
    engine->paste(clip("x"), false);
    clock.runDue();
    workspace.bringToFront(browser);
    advanceMs(49);
    expectSilent();
    advanceMs(1);
    expectOnlyError("The intended input lost focus; nothing was pasted", true);
}

TEST_F(PasteEngineFocus, InjectedFocusFailuresDelayTheInsertion) {
    host.transientFocusFailures = 2;
    engine->paste(clip("third time"), false);
    clock.runDue();
    EXPECT_TRUE(host.hasLine("QA injected transient focus failure remaining=1"));
    advanceMs(50);
    EXPECT_TRUE(host.hasLine("QA injected transient focus failure remaining=0"));
    EXPECT_EQ(fieldValue(), "hello world");
    advanceMs(50);
    EXPECT_EQ(fieldValue(), "hello worldthird time");
    EXPECT_EQ(host.transientFocusFailures, 0);
}

TEST_F(PasteEngineFocus, AnUnconfirmedFocusFallsBackAfterTwentyOneAttempts) {
    refuseFocus();
    engine->paste(clip("x"), false);
    advanceMs(999);
    EXPECT_FALSE(host.hasLineStartingWith("focus restoration timed out"));
    advanceMs(1);
    EXPECT_TRUE(host.hasLine("focus restoration timed out pid=200; falling back to Ctrl+V"));
    EXPECT_EQ(host.clipboardWrites.size(), 1u);
}

// A target that answers each question slowly, or not at all, and never takes the focus: its
// window still gets Ctrl+V within the transaction. Where even the keys cannot go out in time (the
// user holds Shift past the deadline), the clip is left on the clipboard and nothing is sent or
// inserted afterwards. Keys sent to a program that is not running (a stopped one) are no paste.
// A transaction ended while its window is still being asked (a cancellation, a newer paste, a
// quit) is neither a paste nor a failure: nothing is marked or reported, and the late answer
// changes nothing.
TEST_F(PasteEngineFocus, ASlowTargetGetsItsKeysInTimeAndNothingIsPastedAfterTheDeadline) {
    // `never`: a stopped program, whose window answers no ping either; `neverButItsWindowDoes`: its
    // accessibility alone is stuck, and its event loop (which takes the keys) still turns.
    enum class Answers { slowly, never, neverButItsWindowDoes, cancelledWhileAsked, supersededWhileAsked, quitWhileAsked };
    for (const bool shiftHeld : {false, true})
        for (const Answers answers : {Answers::slowly, Answers::never, Answers::neverButItsWindowDoes,
                                      Answers::cancelledWhileAsked, Answers::supersededWhileAsked,
                                      Answers::quitWhileAsked}) {
            const bool endedWhileAsked = answers >= Answers::cancelledWhileAsked;
            if (shiftHeld && endedWhileAsked) continue;
            SCOPED_TRACE(std::to_string(shiftHeld) + " " + std::to_string(int(answers)));
            engine.reset();
            host = FakePasteEngineHost{};
            host.systemShortcutSetting = false;
            host.target = PasteTarget{editor, field, window, nullptr, 7};
            workspace.windowsAnswer = answers != Answers::never;
            workspace.holdPings = endedWhileAsked;
            keys = FakeKeyEventPoster{};
            engine = std::make_unique<PasteEngine>(host, workspace, ax, keys, clock);
            workspace.frontmost = shelfApp;
            refuseFocus();
            ax.setReplyDelay(Milliseconds(answers == Answers::slowly ? 450 : 0));
            ax.setUnresponsive(kEditor, answers != Answers::slowly);
            keys.setHeldModifiers(shiftHeld ? ShiftModifier : 0);
            const ClipItem item = clip("too late");
            engine->paste(item, false);
            workspace.bringToFront(editor);
            if (endedWhileAsked) {
                for (int waited = 0; workspace.heldPings.empty() && waited < 6000; waited += 10) advanceMs(10);
                ASSERT_EQ(workspace.heldPings.size(), 1u);
                if (answers == Answers::cancelledWhileAsked) engine->cancelActivePasteOperation();
                if (answers == Answers::quitWhileAsked) engine->shutdown();
                if (answers == Answers::supersededWhileAsked) {
                    host.pasteDirectlySetting = false;
                    engine->paste(clip("next"), false);
                }
                workspace.answerHeldPings(true);
                advanceMs(60000);
                EXPECT_EQ(keyEvents(Kind::keyDown), 1);
                EXPECT_EQ(keyEvents(Kind::keyUp), 1);
                EXPECT_TRUE(host.hasLine("paste ended before its keys were confirmed; whether the clip landed is "
                                         "unknown; not marked as pasted"));
                EXPECT_FALSE(host.hasLineStartingWith("paste done"));
                EXPECT_FALSE(host.hasLineStartingWith("paste failed"));
                EXPECT_EQ(std::count(host.replayed.begin(), host.replayed.end(), item.id), 0);
                EXPECT_EQ(host.beeps, 0);
                EXPECT_EQ(host.countEvent("showShelf"), 0);
                EXPECT_FALSE(engine->activePasteOperationGeneration());
                continue;
            }
            advanceMs(int(PasteEngine::kTransactionDeadline.count()) + 500);
            keys.setHeldModifiers(0);
            advanceMs(60000);
            ASSERT_FALSE(host.clipboardWrites.empty());
            EXPECT_EQ(host.clipboardWrites.back(), "too late plain=false");
            if (shiftHeld) {
                EXPECT_TRUE(keys.events().empty());
                EXPECT_TRUE(host.hasLine("paste transaction deadline passed; nothing more is pasted"));
                expectOnlyError("Couldn't paste there — press Ctrl+V to paste it", false);
            } else {
                EXPECT_EQ(keys.events(), (std::vector<FakeKeyEventPoster::Event>{{Kind::keyDown, kEditor},
                                                                                 {Kind::keyUp, kEditor}}));
                // The keys went out before the deadline; checking the field may run past it.
                const auto line = [&](const std::string& prefix) {
                    return std::find_if(host.lines.begin(), host.lines.end(),
                                        [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
                };
                EXPECT_LT(line("posted Ctrl+V key-up"), line("paste transaction deadline passed"));
                if (answers == Answers::never) {
                    EXPECT_TRUE(host.hasLine("the target's window does not answer; reporting failure"));
                    expectOnlyError("Couldn't paste there — press Ctrl+V to paste it", false);
                    EXPECT_TRUE(host.replayed.empty());
                } else if (answers == Answers::neverButItsWindowDoes) {
                    EXPECT_TRUE(host.hasLine("paste done verified=false"));
                    expectSilent();
                }
            }
        }
}

TEST_F(PasteEngineFocus, AFocusInAnotherWindowIsNotTaken) {
    // Captured without an element; the user has since moved to another window of the editor.
    const AXElement otherField = ax.addElement(kEditor, ax.info(field));
    const AXElement otherWindow = ax.addElement(kEditor, ElementInfo{.role = "frame"});
    host.target->focusedElement = nullptr;
    ax.setFocusedElement(kEditor, otherField);
    ax.setFocusedWindow(kEditor, otherWindow);
    engine->paste(clip("x"), false);
    clock.runDue();
    EXPECT_TRUE(host.hasLine("fresh AX target rejected: focused window changed pid=200"));
    EXPECT_EQ(ax.info(otherField).value, std::optional<std::string>("hello world"));

    // Back in the captured window: the fresh element is taken and gets the text.
    ax.setFocusedWindow(kEditor, window);
    advanceMs(50);
    EXPECT_TRUE(host.hasLine("reacquired focused target pid=200 afterFailedRestore=false"));
    EXPECT_EQ(ax.info(otherField).value, std::optional<std::string>("hello worldx"));
}

TEST_F(PasteEngineFocus, OnlyTheCapturedNativeWindowCounts) {
    host.target->nativeWindow = 7;
    activationsHeldBack = true;
    engine->paste(clip("x"), false);
    EXPECT_EQ(workspace.windowActivations, (std::vector<std::uint32_t>{7}));
    // The editor comes to the front, but with another of its windows.
    activationsHeldBack = false;
    workspace.bringToFront(editor);
    workspace.frontmostWindowID = 8;
    advanceMs(1000);
    EXPECT_EQ(fieldValue(), "hello world");
    workspace.frontmostWindowID = 7;
    advanceMs(50);
    EXPECT_EQ(fieldValue(), "hello worldx");
}
