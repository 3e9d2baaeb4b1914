#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>

#include "TextFieldProcess.h"
#include "platform/DirectPastePermissions.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/X11KeyEventPoster.h"

using namespace harbelle;
using harbelle::testing::runQuietly;
using harbelle::testing::TextFieldProcess;

TEST(X11KeyEventPoster, PastesIntoTheActiveField) {
    X11KeyEventPoster poster;
    ASSERT_TRUE(poster.canPostEvents());

    TextFieldProcess field;
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(field.activate());
    // We own the clipboard; the field asks us for it while the event loop runs.
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted by XTest \u2713"));

    ASSERT_TRUE(poster.postPasteKeyDown(field.pid(), PasteShortcut::controlV));
    QTest::qWait(30);
    ASSERT_TRUE(poster.postPasteKeyUp(field.pid()));
    EXPECT_TRUE(field.waitForContent(QStringLiteral("pasted by XTest \u2713")));
    EXPECT_EQ(poster.heldModifiers(), 0);
}

// The server applies synthetic input on its own schedule: poll briefly for the state.
static KeyModifiers settledModifiers(X11KeyEventPoster& poster, KeyModifiers expected) {
    KeyModifiers held = poster.heldModifiers();
    for (int i = 0; i < 100 && held != expected; ++i) {
        QTest::qWait(10);
        held = poster.heldModifiers();
    }
    return held;
}

TEST(X11KeyEventPoster, ReportsModifiersTheUserHoldsAndReleasesItsOwn) {
    X11KeyEventPoster poster;
    ASSERT_TRUE(poster.canPostEvents());

    // Someone else (the user) holds Shift and Super, as right after the hot key.
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("keydown"), QStringLiteral("shift+super")}));
    EXPECT_EQ(settledModifiers(poster, ShiftModifier | SuperModifier), ShiftModifier | SuperModifier);
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("keyup"), QStringLiteral("shift+super")}));
    EXPECT_EQ(settledModifiers(poster, 0), 0);

    // A key-down left hanging (a cancelled paste) is released on request...
    ASSERT_TRUE(poster.postPasteKeyDown(0, PasteShortcut::controlV));
    EXPECT_EQ(poster.heldModifiers(), 0) << "our own Control is not the user's";
    poster.releaseAllPressed();
    X11KeyEventPoster observer;
    EXPECT_EQ(settledModifiers(observer, 0), 0);

    // ...and on destruction.
    {
        X11KeyEventPoster dropped;
        ASSERT_TRUE(dropped.postPasteKeyDown(0, PasteShortcut::controlV));
        EXPECT_EQ(settledModifiers(observer, ControlModifier), ControlModifier);
    }
    EXPECT_EQ(settledModifiers(observer, 0), 0);
}

TEST(DirectPastePermissionsX11, GrantedInsideTheTestDesktop) {
    X11KeyEventPoster poster;
    AtspiAccessibility accessibility;
    const DirectPastePermissions permissions = probeDirectPastePermissions(accessibility, poster);
    EXPECT_EQ(permissionReport(permissions), "AX_TRUSTED=true\nPOST_EVENT_ALLOWED=true\n");
    EXPECT_FALSE(permissions.directPasteImpossible());
}
