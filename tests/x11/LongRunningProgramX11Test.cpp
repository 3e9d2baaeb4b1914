// One program running through many rounds, as a user's session does: the hot key must open
// and close the shelf on every press, and every paste into a GTK field must land, with no
// restart in between.
#include <gtest/gtest.h>

#include "AccessibilityBus.h"
#include "HarbelleProcess.h"
#include "TextFieldProcess.h"

namespace harbelle::testing {
namespace {

int rounds(int fallback) {
    return qEnvironmentVariableIsSet("HARBELLE_STRESS_ROUNDS") ? qEnvironmentVariableIntValue("HARBELLE_STRESS_ROUNDS")
                                                               : fallback;
}

// Shift+Super+V with V let go only once the shelf is up (and has the keyboard, when opening),
// as a user holding the keys does.
bool pressHotKeyHeld(bool opening) {
    if (!runQuietly(QStringLiteral("xdotool"), {QStringLiteral("keydown"), QStringLiteral("shift+super+v")})) return false;
    const bool changed = QTest::qWaitFor(
        [opening] { return opening ? activeWindowName() == QStringLiteral("Harbelle") : !shelfWindowVisible(); }, 3000);
    QTest::qWait(100);
    const bool released = runQuietly(QStringLiteral("xdotool"), {QStringLiteral("keyup"), QStringLiteral("v")}) &&
                          runQuietly(QStringLiteral("xdotool"), {QStringLiteral("keyup"), QStringLiteral("super+shift")});
    return changed && released;
}

TEST(LongRunningProgramX11, ShiftSuperVTogglesTheShelfOnEveryPress) {
    TextFieldProcess gtk({}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings);
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(gtk.activate());
    for (int round = 0, count = rounds(15); round < count; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round + 1);
        ASSERT_TRUE(pressKeys("shift+super+v"));
        ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 3000)) << "the press opens the shelf";
        ASSERT_TRUE(shelfHasKeyboard());
        ASSERT_TRUE(pressKeys("shift+super+v"));
        ASSERT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 3000)) << "the next press closes it";

        ASSERT_TRUE(pressHotKeyHeld(true)) << "a press held across the opening opens the shelf";
        ASSERT_TRUE(pressHotKeyHeld(false)) << "the next held press closes it";
    }
}

// The three newest saved clips, newest first.
std::string newestSaved(const HarbelleProcess& harbelle) {
    std::string shown;
    const auto texts = harbelle.savedTexts();
    for (std::size_t i = 0; i < texts.size() && i < 3; ++i) shown += (i ? " | " : "") + texts[i];
    return shown;
}

// Each round copies two clips in another program, opens the shelf over the GTK field and
// pastes one of them: the older with Ctrl+2 or the newer with Return. The next round copies
// at once, while a Ctrl+V paste may still be being checked.
void pasteRounds(const char* settings, int count) {
    AccessibilityBusSwitch bus(true);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    TextFieldProcess gtk({}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    HarbelleProcess harbelle(settings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());

    for (int round = 0; round < count; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round + 1);
        const QString older = QStringLiteral("older clip %1").arg(round);
        const QString newer = QStringLiteral("newer clip %1").arg(round);
        // As the newest clip: a clip of the same text an earlier test left on the clipboard may be
        // in the history since the launch, and the copy is not taken until the program sees it.
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(older, HarbelleProcess::Saved::asNewest));
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(newer, HarbelleProcess::Saved::asNewest));

        ASSERT_TRUE(gtk.activate());
        ASSERT_TRUE(pressKeys("ctrl+a"));  // the paste replaces the whole text
        ASSERT_TRUE(pressKeys("shift+super+v"));
        ASSERT_TRUE(shelfHasKeyboard()) << "the shelf opens on the first press";
        const bool pickOlder = round % 2 == 0;
        ASSERT_TRUE(pressKeys(pickOlder ? "ctrl+2" : "Return"));
        const QString expected = pickOlder ? older : newer;
        // A bound for a loaded machine, not a speed target (a paste takes about 0.3 s): waiting for
        // the window, its focus and the clipboard's round trip each stretch with the load.
        ASSERT_TRUE(gtk.waitForContent(expected, 15000))
            << "field: " << gtk.content().toStdString() << "\nnewest saved: " << newestSaved(harbelle) << "\n"
            << harbelle.output().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 3000));
    }
    // The last paste's check ends with the last paste's "done" (or "failed") line.
    const auto ended = [&] {
        const QString output = harbelle.output();
        return output.count(QStringLiteral("[DirectPaste] paste done")) +
               output.count(QStringLiteral("[DirectPaste] paste failed"));
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended() >= count; }, 10000)) << harbelle.output().toStdString();
    EXPECT_FALSE(harbelle.output().contains(QStringLiteral("did not change the field"))) << harbelle.output().toStdString();
}

TEST(LongRunningProgramX11, EveryCtrlVPasteIntoAGtkFieldLands) {
    pasteRounds(R"({"hasLaunchedPemberlow": true, "pasteUsesSystemShortcut": true})", rounds(10));
}

TEST(LongRunningProgramX11, EveryAccessibilityInsertIntoAGtkFieldLands) {
    pasteRounds(R"({"hasLaunchedPemberlow": true, "pasteUsesSystemShortcut": false})", rounds(10));
}

}  // namespace
}  // namespace harbelle::testing
