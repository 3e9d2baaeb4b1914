// The Ctrl+V fallback: timing of the key pair, the key-up that is never lost, held modifiers,
// the target window, and what counts as a verified paste.
#include "PasteEngineTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;

namespace {
struct PasteEngineKeys : PasteEngineFixture {
    // An image clip always takes the Ctrl+V route: fallback at 0, keys down at 80 ms, up at
    // 110 ms, verification at 290 ms.
    ClipItem image = clip("", ClipKind::image);
    void changeField(const std::string& value) {
        ElementInfo info = ax.info(field);
        info.value = value;
        ax.setInfo(field, info);
    }
};
}  // namespace

TEST_F(PasteEngineKeys, AnImageIsPastedByOneKeyPairAndVerified) {
    engine->paste(image, false);
    clock.runDue();
    EXPECT_TRUE(host.hasLine("event fallback kind=image wroteClipboard=true"));
    advanceMs(79);
    EXPECT_TRUE(keys.events().empty());
    advanceMs(1);
    const Date sentAt = clock.now();
    EXPECT_EQ(keys.events(), (std::vector<FakeKeyEventPoster::Event>{{Kind::keyDown, kEditor}}));
    EXPECT_TRUE(host.hasLine("posting Ctrl+V events pid=200 verifiable=true"));
    advanceMs(29);
    EXPECT_TRUE(keys.isPasteKeyDown());
    advanceMs(1);
    EXPECT_EQ(keyEvents(Kind::keyUp), 1);
    EXPECT_TRUE(host.hasLine("posted Ctrl+V key-up pid=200"));

    changeField("hello world[image]");  // the editor pasted
    advanceMs(179);
    EXPECT_TRUE(host.transactionActive);
    advanceMs(1);
    EXPECT_FALSE(host.transactionActive);
    expectSilent();
    EXPECT_TRUE(host.directPasteVerified);
    EXPECT_EQ(host.replayed, (std::vector<Uuid>{image.id}));
    // Stamped with when the keys went out, not when the check ended 210 ms later.
    EXPECT_EQ(host.replayedAt, (std::vector<std::optional<Date>>{sentAt}));
}

// A busy program takes its paste late: the field is read until about 1.5 s after the key-up.
TEST_F(PasteEngineKeys, AnUnchangedFieldIsARecoverableFailure) {
    engine->paste(image, false);
    advanceMs(110 + 180 + 26 * 50 - 1);
    expectSilent();
    EXPECT_TRUE(host.transactionActive);
    advanceMs(1);
    EXPECT_TRUE(host.hasLine("Ctrl+V did not change the field; reporting failure"));
    expectOnlyError("Couldn't paste there — press Ctrl+V to paste it", false);
    EXPECT_FALSE(host.directPasteVerified);
    EXPECT_TRUE(host.replayed.empty());
}

TEST_F(PasteEngineKeys, APasteLandingLateIsVerified) {
    engine->paste(image, false);
    advanceMs(110 + 1200);
    changeField("hello world[image]");
    advanceMs(50);
    EXPECT_FALSE(host.transactionActive);
    expectSilent();
    EXPECT_TRUE(host.directPasteVerified);
}

TEST_F(PasteEngineKeys, AnUnverifiableCtrlVCompletesWithoutProvingDirectPaste) {
    ax.setInfo(field, ElementInfo{.role = "text"});  // neither value nor character count
    engine->paste(image, false);
    advanceMs(110);
    EXPECT_TRUE(host.hasLine("posting Ctrl+V events pid=200 verifiable=false"));
    EXPECT_FALSE(host.transactionActive) << "done right after the key-up";
    EXPECT_EQ(host.replayed, (std::vector<Uuid>{image.id}));
    EXPECT_FALSE(host.directPasteVerified);
    expectSilent();
}

TEST_F(PasteEngineKeys, TheKeyUpFollowsEvenAfterCancelOrSupersede) {
    engine->paste(image, false);
    advanceMs(95);
    ASSERT_TRUE(keys.isPasteKeyDown());
    engine->cancelActivePasteOperation();
    advanceMs(15);
    EXPECT_EQ(keys.events().back(), (FakeKeyEventPoster::Event{Kind::keyUp, kEditor}));
    advanceMs(2000);
    expectSilent();
    EXPECT_TRUE(host.replayed.empty());

    // Superseded by a new paste between the two keys.
    keys = FakeKeyEventPoster{};
    engine->paste(image, false);
    advanceMs(95);
    ASSERT_TRUE(keys.isPasteKeyDown());
    activationsHeldBack = true;
    engine->paste(clip("next"), false);
    advanceMs(15);
    EXPECT_FALSE(keys.isPasteKeyDown());
    EXPECT_EQ(keyEvents(Kind::keyUp), 1);
}

TEST_F(PasteEngineKeys, QuitAndDestructionReleaseAPressedKeyAtOnce) {
    engine->paste(image, false);
    advanceMs(95);
    engine->shutdown();
    EXPECT_EQ(keys.events().back().kind, Kind::releaseAll);
    EXPECT_FALSE(keys.isPasteKeyDown());
    advanceMs(1000);
    expectSilent();
    EXPECT_EQ(keyEvents(Kind::keyUp), 0) << "the released key-up is not sent again";

    engine->paste(image, false);
    advanceMs(95);
    ASSERT_TRUE(keys.isPasteKeyDown());
    engine.reset();
    EXPECT_FALSE(keys.isPasteKeyDown());
    EXPECT_EQ(keys.events().back().kind, Kind::releaseAll);
    advanceMs(1000);  // nothing left to run on a destroyed engine
}

TEST_F(PasteEngineKeys, HeldModifiersDelayTheKeys) {
    keys.setHeldModifiers(ShiftModifier | SuperModifier);
    engine->paste(image, false);
    advanceMs(80);
    EXPECT_TRUE(keys.events().empty());
    EXPECT_TRUE(host.hasLine("waiting for held modifiers=9 before Ctrl+V"));
    advanceMs(300);
    keys.setHeldModifiers(0);
    advanceMs(49);
    EXPECT_TRUE(keys.events().empty());
    advanceMs(1);
    EXPECT_EQ(keyEvents(Kind::keyDown), 1);
    advanceMs(1000);

    // Still held after 2 s of polls: no shortcut the target would misread.
    host = FakePasteEngineHost{};
    host.target = PasteTarget{editor, field, window, nullptr, std::nullopt};
    keys = FakeKeyEventPoster{};
    keys.setHeldModifiers(SuperModifier);
    engine->paste(image, false);
    advanceMs(80 + 1999);
    expectSilent();
    advanceMs(1);
    EXPECT_TRUE(keys.events().empty());
    expectOnlyError("Could not send the paste command", true);
}

TEST_F(PasteEngineKeys, TypingWhileAModifierIsHeldIsNotTakenForThePaste) {
    keys.setHeldModifiers(ShiftModifier);
    engine->paste(image, false);
    advanceMs(200);
    changeField("hello world!");  // the user types with Shift still down
    keys.setHeldModifiers(0);
    advanceMs(50);
    ASSERT_EQ(keyEvents(Kind::keyDown), 1);
    advanceMs(2000);  // the editor pastes nothing
    EXPECT_FALSE(host.directPasteVerified);
    expectOnlyError("Couldn't paste there — press Ctrl+V to paste it", false);
}

TEST_F(PasteEngineKeys, NoKeysUnlessTheTargetWindowIsInFront) {
    host.target->nativeWindow = 7;
    keys.setHeldModifiers(ShiftModifier);
    engine->paste(image, false);
    EXPECT_EQ(workspace.windowActivations, (std::vector<std::uint32_t>{7}));
    workspace.bringToFront(editor);
    advanceMs(150);
    EXPECT_TRUE(host.hasLineStartingWith("waiting for held modifiers"));
    // While the keys wait, another window of the editor comes to the front.
    workspace.frontmostWindowID = 8;
    keys.setHeldModifiers(0);
    advanceMs(1000);
    EXPECT_TRUE(keys.events().empty());
    expectOnlyError("Could not send the paste command", true);
}

TEST_F(PasteEngineKeys, ATargetGoneFromTheFrontDuringTheFallbackLosesTheInput) {
    engine->paste(image, false);
    clock.runDue();
    workspace.bringToFront(browser);
    advanceMs(80 + 30 * 50 - 1);
    expectSilent();
    advanceMs(1);
    EXPECT_TRUE(keys.events().empty());
    expectOnlyError("The intended input lost focus; nothing was pasted", true);
}

TEST_F(PasteEngineKeys, WithdrawnEventPostingAsksForApprovalAgain) {
    host.systemShortcutSetting = false;
    ax.refuseInsertion(field);
    engine->paste(clip("x"), false);
    host.permissions.eventPostingAllowed = false;
    advanceMs(1000);
    EXPECT_TRUE(host.showPermissionSetup);
    EXPECT_FALSE(host.eventPostingGranted);
    EXPECT_TRUE(host.clipboardWrites.empty());
    expectOnlyError("Direct-paste access changed; approve it again", true);
}

TEST_F(PasteEngineKeys, AnUnavailableClipReopensTheShelf) {
    host.canWriteClipboard = false;
    engine->paste(image, false);
    clock.runDue();
    expectOnlyError("That clip is no longer available", true);
    EXPECT_TRUE(keys.events().empty());
}

TEST_F(PasteEngineKeys, FailingKeyEventsReportTheCommandNotSent) {
    keys.setFailing(true);
    engine->paste(image, false);
    advanceMs(80);
    expectOnlyError("Could not send the paste command", true);
}

TEST_F(PasteEngineKeys, AButtonGetsCtrlVOnlyAfterEveryAttempt) {
    ElementInfo info = ax.info(field);
    info.role = "push button";
    ax.setInfo(field, info);
    engine->paste(image, false);
    advanceMs(80 + 30 * 50 - 1);
    EXPECT_TRUE(keys.events().empty());
    EXPECT_TRUE(host.hasLine("focused element role push button cannot accept typed text"));
    advanceMs(1);
    EXPECT_TRUE(host.hasLine("focus never resolved to a text element; attempting Ctrl+V anyway"));
    EXPECT_EQ(keyEvents(Kind::keyDown), 1);
}
