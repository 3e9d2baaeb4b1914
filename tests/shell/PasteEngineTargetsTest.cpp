// Targets that are not ordinary text fields: terminals and their own paste key, windows that
// take the clipboard by no key, and programs that offer no focused element at all.
#include "PasteEngineTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;

namespace {

struct PasteEngineTargets : PasteEngineFixture {
    static constexpr ProcessID kTerminal = 400;
    static constexpr ProcessID kTkField = 500;

    // A program of this class in front when the shelf opened, with nothing of it on the bus.
    void targetWithoutElement(const std::string& windowClass, ProcessID pid) {
        RunningApplication application{windowClass, windowClass, pid};
        workspace.running.push_back(application);
        host.target = PasteTarget{application, nullptr, nullptr, nullptr, std::nullopt};
    }
    int restoreAttempts() const {
        int attempts = 0;
        for (const auto& line : host.lines) attempts += line.rfind("AX focus restore requested", 0) == 0;
        return attempts;
    }
};

}  // namespace

TEST(PasteShortcut, TerminalsByTheirWindowClassTakeCtrlShiftVAndTheXtermFamilyShiftInsert) {
    for (const char* terminal : {"Gnome-terminal", "konsole", "Xfce4-terminal", "kitty", "Alacritty", "Lxterminal",
                                 "Terminator", "Tilix", "org.wezfurlong.wezterm"})
        EXPECT_EQ(PasteEngine::pasteShortcutFor(std::string(terminal)), PasteShortcut::controlShiftV) << terminal;
    for (const char* primary : {"XTerm", "UXTerm", "URxvt", "Rxvt"})
        EXPECT_EQ(PasteEngine::pasteShortcutFor(std::string(primary)), PasteShortcut::shiftInsert) << primary;
    EXPECT_EQ(PasteEngine::pasteShortcutFor(std::string("9term")), std::nullopt);
    for (const char* ordinary : {"Gedit", "firefox", "Harbelle GTK field", "", "terminal-notes"})
        EXPECT_EQ(PasteEngine::pasteShortcutFor(std::string(ordinary)), PasteShortcut::controlV) << ordinary;
    EXPECT_EQ(PasteEngine::pasteShortcutFor(std::nullopt), PasteShortcut::controlV);
}

// A terminal gets its own paste key and no text insertion; the xterm family's Shift+Insert
// pastes the primary selection, so the clip is put there as well.
struct TerminalCase {
    const char* windowClass;
    PasteShortcut shortcut;
    const char* keyName;
    std::vector<std::string> primaryWrites;
};
struct TerminalPaste : PasteEngineTargets, ::testing::WithParamInterface<TerminalCase> {};

TEST_P(TerminalPaste, GetsItsPasteKeyAndNoTextInsertion) {
    const TerminalCase& terminal = GetParam();
    host.systemShortcutSetting = false;  // would insert through accessibility in a field
    targetWithoutElement(terminal.windowClass, kTerminal);
    ax.addApplication(kTerminal);
    const ClipItem text = clip("echo pasted");
    engine->paste(text, false);
    advanceMs(500);
    EXPECT_TRUE(host.hasLine("terminal window class=" + std::string(terminal.windowClass) + " pastes with " +
                             terminal.keyName));
    for (const auto& call : ax.calls()) EXPECT_EQ(call.rfind("insertText", 0), std::string::npos) << call;
    ASSERT_EQ(keyEvents(Kind::keyDown), 1);
    EXPECT_EQ(keys.events().front(), (FakeKeyEventPoster::Event{Kind::keyDown, kTerminal, terminal.shortcut}));
    EXPECT_EQ(keyEvents(Kind::keyUp), 1);
    EXPECT_EQ(host.clipboardWrites, (std::vector<std::string>{"echo pasted plain=false"}));
    EXPECT_EQ(host.primaryWrites, terminal.primaryWrites);
    EXPECT_EQ(host.replayed, (std::vector<Uuid>{text.id}));
    expectSilent();
}

INSTANTIATE_TEST_SUITE_P(PasteEngineTargets, TerminalPaste,
                         ::testing::Values(TerminalCase{"Lxterminal", PasteShortcut::controlShiftV, "Ctrl+Shift+V", {}},
                                           TerminalCase{"XTerm", PasteShortcut::shiftInsert, "Shift+Insert",
                                                        {"echo pasted plain=false"}}));

TEST_F(PasteEngineTargets, AWindowWithoutAPasteKeyGetsTheClipCopiedAndTheUserTold) {
    targetWithoutElement("9term", kTerminal);
    const ClipItem text = clip("ls -la");
    engine->paste(text, false);
    advanceMs(5000);
    EXPECT_EQ(host.clipboardWrites, (std::vector<std::string>{"ls -la plain=false"}));
    ASSERT_EQ(host.toasts.size(), 1u);
    EXPECT_EQ(host.toasts[0].message, PasteEngine::kCopiedForWindowWithoutPasteKey);
    EXPECT_EQ(host.toasts[0].tone, ToastTone::info);
    EXPECT_TRUE(host.replayed.empty()) << "not pasted, so not marked as pasted";
    EXPECT_FALSE(host.directPasteVerified);
    EXPECT_TRUE(keys.events().empty());
    EXPECT_EQ(workspace.frontmost, shelfApp) << "the shelf stays in front to show it";
    EXPECT_EQ(host.countEvent("hidePanel"), 0);
    EXPECT_FALSE(engine->activePasteOperationGeneration());

    // A clip that can no longer be written is the usual error.
    host.toasts.clear();
    host.canWriteClipboard = false;
    engine->paste(text, false);
    ASSERT_EQ(host.toasts.size(), 1u);
    EXPECT_EQ(host.toasts[0].message, "That clip is no longer available");
    EXPECT_EQ(host.beeps, 1);
}

TEST_F(PasteEngineTargets, AProgramOfferingNoFocusedElementGetsItsKeysAtOnce) {
    // Not on the bus at all (Tk, xterm-like programs): keys 80 ms after the target is in front.
    targetWithoutElement("Tk", kTkField);
    engine->paste(clip("to Tk"), false);
    advanceMs(80);
    EXPECT_TRUE(host.hasLine("target offers no focused element; sending the paste keys at once"));
    EXPECT_EQ(keys.events(), (std::vector<FakeKeyEventPoster::Event>{{Kind::keyDown, kTkField}}));
    advanceMs(30);
    EXPECT_FALSE(engine->activePasteOperationGeneration());
    EXPECT_EQ(restoreAttempts(), 0);
    EXPECT_EQ(host.replayed.size(), 1u);
    expectSilent();

    // On the bus, but naming no focused element (GTK 4).
    keys = FakeKeyEventPoster{};
    ax.addApplication(kEditor + 1000);
    targetWithoutElement("Gtk4 field", kEditor + 1000);
    engine->paste(clip("to GTK 4"), false);
    advanceMs(110);
    EXPECT_EQ(keyEvents(Kind::keyDown), 1);
    EXPECT_EQ(keyEvents(Kind::keyUp), 1);
    EXPECT_EQ(restoreAttempts(), 0);
}

// A lookup that goes unanswered says nothing about the field: the restore attempts go on, and
// the field last seen gaining the focus stays remembered, to get the clip once it answers. Only
// a field that is gone, hidden or refusing is forgotten, and the window gets the keys at once.
TEST_F(PasteEngineTargets, AnUnansweredLookupStillGoesThroughTheRestoreAttemptsAndForgetsNothing) {
    targetWithoutElement("Busy", kTkField);
    ax.addApplication(kTkField);
    ax.setUnresponsive(kTkField, true);
    engine->paste(clip("later"), false);
    advanceMs(1100);  // two lookups of 500 ms each, then the first restore
    EXPECT_FALSE(host.hasLine("target offers no focused element; sending the paste keys at once"));
    EXPECT_TRUE(keys.events().empty());
    EXPECT_GE(restoreAttempts(), 1);

    using Reads = FakeAccessibility::Reads;
    // `answered` stands for a field gone (defunct) since it was seen.
    for (const Reads reads : {Reads::unanswered, Reads::answered, Reads::hidden, Reads::refused}) {
        SCOPED_TRACE(int(reads));
        engine.reset();
        host = FakePasteEngineHost{};
        host.systemShortcutSetting = false;
        host.target = PasteTarget{editor, nullptr, window, nullptr, std::nullopt};
        keys = FakeKeyEventPoster{};
        engine = std::make_unique<PasteEngine>(host, workspace, ax, keys, clock);
        workspace.frontmost = shelfApp;
        const AXElement remembered = ax.addElement(kEditor, ax.info(field));
        ax.setFocusedElement(kEditor, nullptr);
        ax.setRememberedField(kEditor, remembered, window);
        ax.setReads(remembered, reads);
        if (reads == Reads::answered) ax.removeElement(remembered);
        engine->paste(clip("!"), false);
        advanceMs(600);
        const bool kept = reads == Reads::unanswered;
        EXPECT_EQ(ax.remembersFocusedElement(kEditor), kept);
        EXPECT_EQ(host.hasLine("target offers no focused element; sending the paste keys at once"), !kept);
        ax.setReads(remembered, Reads::answered);
        advanceMs(2000);
        if (kept) {
            EXPECT_EQ(ax.info(remembered).value, std::optional<std::string>("hello world!"));
            EXPECT_TRUE(keys.events().empty());
        } else {
            EXPECT_EQ(keyEvents(Kind::keyDown), 1);
        }
        EXPECT_FALSE(engine->activePasteOperationGeneration());
    }
}

TEST(TextFingerprint, ASelectionReplacedByTheSameTextStillChangesThePrint) {
    ElementInfo selected{.role = "text", .value = "abc", .characterCount = 3, .caretOffset = 3};
    selected.selection = TextRange{0, 3};
    ElementInfo pasted = selected;
    pasted.selection.reset();
    ASSERT_TRUE(textFingerprint(selected) && textFingerprint(pasted));
    EXPECT_NE(*textFingerprint(selected), *textFingerprint(pasted));
    EXPECT_EQ(*textFingerprint(pasted), *textFingerprint(ElementInfo(pasted)));
}
