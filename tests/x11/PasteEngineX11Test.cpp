// The paste engine on the real desktop: another process's text field receives a clip by Ctrl+V
// and by accessible text insertion, with the shelf standing in as one of our own windows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QWidget>
#include <algorithm>
#include <iostream>

#include "TextFieldProcess.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/LinuxPasteboard.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/X11KeyEventPoster.h"
#include "shell/PasteEngine.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;
using harbelle::testing::TextFieldProcess;

namespace {

// A host over the real clipboard and permission probe; the shelf is a plain window.
class DesktopHost final : public PasteEngineHost {
public:
    DesktopHost(LinuxPasteboard& pasteboard, Accessibility& accessibility, KeyEventPoster& poster,
                Workspace& workspace, QWidget& shelf)
        : pasteboard_(pasteboard), accessibility_(accessibility), poster_(poster), workspace_(workspace),
          shelf_(shelf) {}

    std::optional<PasteTarget> rememberedPasteTarget() override { return target; }
    void setPasteTransactionIsActive(bool active) override { transactionActive = active; }
    void cancelAutoHideCountdown() override {}
    void restartAutoHideCountdown() override {}
    void hidePanelWithoutReturning() override { shelf_.hide(); }
    void hidePanelAndReturn() override {
        shelf_.hide();
        if (target) workspace_.activate(target->processIdentifier());
    }
    void showShelf() override { shelf_.show(); }
    std::int64_t qaRemainingTransientFocusFailures() const override { return 0; }
    void consumeQaTransientFocusFailure() override {}

    bool writeClipToPasteboard(const ClipItem& clip, bool) override {
        PasteboardObject object = PasteboardObject::item();
        object.setString(pasteboardtype::plainText, clip.text);
        return pasteboard_.write({object});
    }
    bool writeClipToPrimarySelection(const ClipItem&, bool) override { return false; }
    void markReplaySucceeded(const ClipItem&, std::optional<Date> = std::nullopt) override { ++replayed; }
    bool markCopySucceeded(const ClipItem&) override { return true; }
    bool pasteDirectly() const override { return true; }
    bool pasteUsesSystemShortcut() const override { return systemShortcut; }
    void setDirectPasteVerified(bool verified) override { directPasteVerified = verified; }
    void updateDirectPastePermissionStatus(bool accessibility, bool eventPosting) override {
        accessibilityGranted = accessibility;
        eventPostingGranted = eventPosting;
    }
    bool accessibilityAccessGranted() const override { return accessibilityGranted; }
    bool eventPostingAccessGranted() const override { return eventPostingGranted; }
    void setShowPermissionSetup(bool) override {}
    void showToast(const std::string& message, ToastTone) override { toasts.push_back(message); }
    DirectPastePermissions currentDirectPastePermissions() override {
        return probeDirectPastePermissions(accessibility_, poster_);
    }
    void beep() override {}
    bool demoMode() const override { return false; }
    bool forceEventPaste() const override { return false; }
    void pasteDiagnostic(const std::string& message) override { lines.push_back(message); }

    std::string transcript() const {
        std::string all;
        for (const auto& line : lines) all += "[DirectPaste] " + line + "\n";
        for (const auto& toast : toasts) all += "toast: " + toast + "\n";
        return all;
    }

    std::optional<PasteTarget> target;
    bool systemShortcut = true;
    bool transactionActive = false;
    bool accessibilityGranted = false;
    bool eventPostingGranted = false;
    bool directPasteVerified = false;
    int replayed = 0;
    std::vector<std::string> toasts;
    std::vector<std::string> lines;

private:
    LinuxPasteboard& pasteboard_;
    Accessibility& accessibility_;
    KeyEventPoster& poster_;
    Workspace& workspace_;
    QWidget& shelf_;
};

struct PasteEngineX11 : ::testing::Test {
    LinuxWorkspace workspace;
    LinuxPasteboard pasteboard;
    AtspiAccessibility accessibility;
    X11KeyEventPoster poster;
    QWidget shelf;
    DesktopHost host{pasteboard, accessibility, poster, workspace, shelf};
    PasteEngine engine{host, workspace, accessibility, poster, SystemClock::shared()};
    QObject context;

    // What the shelf captures when it opens over the field: its application, focused element
    // and windows.
    bool captureTarget(const TextFieldProcess& field) {
        PasteTarget target;
        target.application = workspace.runningApplication(field.pid()).value_or(RunningApplication{});
        target.nativeWindow = workspace.frontmostWindow();
        const bool found = QTest::qWaitFor(
            [&] {
                std::optional<AXResult<AXElement>> element;
                accessibility.focusedElement(field.pid(), Milliseconds(2000), &context,
                                             [&](AXResult<AXElement> r) { element = r; });
                if (!QTest::qWaitFor([&] { return element.has_value(); }, 5000) || !element->ok()) return false;
                target.focusedElement = element->value;
                return true;
            },
            10000);
        if (!found) return false;
        std::optional<AXResult<AXElement>> window;
        accessibility.focusedWindow(field.pid(), Milliseconds(2000), &context,
                                    [&](AXResult<AXElement> r) { window = r; });
        if (QTest::qWaitFor([&] { return window.has_value(); }, 5000) && window->ok())
            target.focusedWindow = window->value;
        host.target = target;
        return target.application.processIdentifier == field.pid();
    }

    // The shelf comes to the front, as it does when the user opens it.
    bool openShelf() {
        shelf.resize(300, 100);
        shelf.show();
        workspace.activateWindow(std::uint32_t(shelf.winId()));
        return QTest::qWaitFor(
            [&] {
                const auto front = workspace.frontmostApplication();
                return front && front->processIdentifier == ProcessID(::getpid());
            },
            5000);
    }

    bool waitForTheEnd() {
        return QTest::qWaitFor([&] { return !engine.activePasteOperationGeneration(); }, 10000);
    }

    static ClipItem textClip(const std::string& text) { return ClipBuilder(text); }
};

}  // namespace

TEST_F(PasteEngineX11, PastesByCtrlVWithTheDefaultSettings) {
    TextFieldProcess field({QStringLiteral("--text"), QStringLiteral("hello ")});
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(field.activate());
    ASSERT_TRUE(captureTarget(field));
    ASSERT_TRUE(openShelf());

    engine.paste(textClip("by Ctrl+V \u2713"), false);
    EXPECT_TRUE(field.waitForContent(QString::fromUtf8("hello by Ctrl+V \u2713"))) << field.content().toStdString();
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_TRUE(host.toasts.empty()) << host.transcript();
    EXPECT_EQ(host.replayed, 1);
    EXPECT_TRUE(host.directPasteVerified) << host.transcript();
    EXPECT_FALSE(shelf.isVisible());
    EXPECT_EQ(poster.heldModifiers(), 0);
    EXPECT_NE(std::find(host.lines.begin(), host.lines.end(), "falling back to synthetic Ctrl+V"),
              host.lines.end());
}

TEST_F(PasteEngineX11, InsertsThroughAccessibilityWithoutTheSystemShortcut) {
    host.systemShortcut = false;
    TextFieldProcess field({QStringLiteral("--text"), QStringLiteral("hello world"), QStringLiteral("--select"),
                            QStringLiteral("6"), QStringLiteral("11")});
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(field.activate());
    ASSERT_TRUE(captureTarget(field));
    ASSERT_TRUE(openShelf());
    const auto clipboardBefore = pasteboard.changeCount();

    engine.paste(textClip("Harbelle \U0001F600"), false);
    EXPECT_TRUE(field.waitForContent(QString::fromUtf8("hello Harbelle \U0001F600"))) << field.content().toStdString();
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_TRUE(host.toasts.empty()) << host.transcript();
    EXPECT_TRUE(host.directPasteVerified);
    EXPECT_NE(std::find(host.lines.begin(), host.lines.end(), "direct AX insertion succeeded"), host.lines.end())
        << host.transcript();
    EXPECT_EQ(pasteboard.changeCount(), clipboardBefore) << "insertion leaves the clipboard alone";
}

TEST_F(PasteEngineX11, WaitsForTheHotKeysModifiersBeforeCtrlV) {
    using harbelle::testing::runQuietly;
    TextFieldProcess field({QStringLiteral("--text"), QStringLiteral("x")});
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(field.activate());
    ASSERT_TRUE(captureTarget(field));
    ASSERT_TRUE(openShelf());

    // The user still holds Shift and Super of the hot key.
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("keydown"), QStringLiteral("shift+super")}));
    engine.paste(textClip("y"), false);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::any_of(host.lines.begin(), host.lines.end(),
                               [](const std::string& line) { return line.starts_with("waiting for held modifiers"); });
        },
        5000))
        << host.transcript();
    EXPECT_EQ(field.content(), QStringLiteral("x"));
    EXPECT_TRUE(engine.activePasteOperationGeneration());
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("keyup"), QStringLiteral("shift+super")}));
    EXPECT_TRUE(field.waitForContent(QStringLiteral("xy"))) << field.content().toStdString();
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_TRUE(host.toasts.empty()) << host.transcript();
}
