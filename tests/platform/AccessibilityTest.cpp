#include <gtest/gtest.h>

#include "platform/DirectPastePermissions.h"
#include "platform/HotKeyRegistrar.h"
#include "support/FakeAccessibility.h"
#include "support/FakeKeyEventPoster.h"
#include "support/ManualClock.h"

using namespace harbelle;
using harbelle::testing::FakeAccessibility;
using harbelle::testing::FakeKeyEventPoster;
using harbelle::testing::ManualClock;

namespace {

ElementInfo field(std::string value, std::optional<TextRange> selection, int caret) {
    ElementInfo info;
    info.role = "text";
    info.characterCount = int(QString::fromStdString(value).toStdU32String().size());
    info.value = std::move(value);
    info.selection = selection;
    info.caretOffset = caret;
    info.editable = true;
    return info;
}

}  // namespace

TEST(TextFingerprint, ChangesWithContentOrCaretOnly) {
    const ElementInfo before = field("hello", std::nullopt, 5);
    const auto print = textFingerprint(before);
    ASSERT_TRUE(print.has_value());
    EXPECT_EQ(print->rfind("v:5:", 0), 0u);
    EXPECT_EQ(textFingerprint(before), print);

    ElementInfo moved = before;
    moved.caretOffset = 2;
    EXPECT_NE(textFingerprint(moved), print);
    ElementInfo changed = before;
    changed.value = "hellO";
    EXPECT_NE(textFingerprint(changed), print);

    // The count is of user-perceived characters: a flag is one.
    EXPECT_EQ(textFingerprint(field("\U0001F1EB\U0001F1F7", std::nullopt, 0))->rfind("v:1:", 0), 0u);

    ElementInfo countOnly;
    countOnly.characterCount = 7;
    EXPECT_EQ(textFingerprint(countOnly), std::optional<std::string>("n:7"));
    EXPECT_FALSE(textFingerprint(ElementInfo{}).has_value());
}

TEST(FakeAccessibility, InsertionReplacesTheSelectionByBytes) {
    ManualClock clock;
    FakeAccessibility ax(clock);
    const AXElement element = ax.addElement(42, field("hello world", TextRange{6, 11}, 11));
    ax.setFocusedElement(42, element);

    AXResult<AXElement> focused;
    ax.focusedElement(42, Accessibility::defaultDeadline, nullptr, [&](AXResult<AXElement> r) { focused = r; });
    clock.runDue();
    ASSERT_TRUE(focused.ok());
    EXPECT_TRUE(sameElement(focused.value, element));
    EXPECT_NE(focused.value.get(), element.get());

    std::optional<AXStatus> inserted;
    ax.insertText(focused.value, "Harbelle \u2713", Accessibility::defaultDeadline, nullptr,
                  [&](AXStatus s) { inserted = s; });
    clock.runDue();
    EXPECT_EQ(inserted, AXStatus::success);
    EXPECT_EQ(ax.lastInsertionLength(), 12);
    const ElementInfo after = ax.info(element);
    EXPECT_EQ(after.value, std::optional<std::string>("hello Harbelle \u2713"));
    EXPECT_EQ(after.caretOffset, 16);
    EXPECT_FALSE(after.selection.has_value());
}

TEST(FakeAccessibility, AnswersLateOrNeverBecomeTimeouts) {
    ManualClock clock;
    FakeAccessibility ax(clock);
    const AXElement element = ax.addElement(7, field("abc", std::nullopt, 3));
    ax.setFocusedElement(7, element);

    // A slow application: the deadline wins and the late answer is dropped.
    ax.setReplyDelay(Milliseconds(800));
    std::vector<AXStatus> statuses;
    ax.readElement(element, Milliseconds(500), nullptr, [&](AXResult<ElementInfo> r) { statuses.push_back(r.status); });
    clock.advance(Milliseconds(1000));
    EXPECT_EQ(statuses, (std::vector<AXStatus>{AXStatus::timedOut}));

    // A stopped application: no insertion happens, the caller hears of the timeout.
    ax.setReplyDelay(Milliseconds(0));
    ax.setUnresponsive(7, true);
    std::vector<AXStatus> inserted;
    ax.insertText(element, "x", Milliseconds(300), nullptr, [&](AXStatus s) { inserted.push_back(s); });
    clock.advance(Milliseconds(299));
    EXPECT_TRUE(inserted.empty());
    clock.advance(Milliseconds(1));
    EXPECT_EQ(inserted, (std::vector<AXStatus>{AXStatus::timedOut}));
    EXPECT_EQ(ax.info(element).value, std::optional<std::string>("abc"));
}

TEST(FakeAccessibility, NoReplyAfterTheContextIsGone) {
    ManualClock clock;
    FakeAccessibility ax(clock);
    ax.addApplication(9);
    int replies = 0;
    {
        QObject context;
        ax.focusedElement(9, Milliseconds(100), &context, [&](AXResult<AXElement>) { ++replies; });
    }
    clock.advance(Milliseconds(200));
    EXPECT_EQ(replies, 0);
}

TEST(FakeAccessibility, FingerprintOfUnreadableFieldIsNotSupported) {
    ManualClock clock;
    FakeAccessibility ax(clock);
    ElementInfo button;
    button.role = "push button";
    const AXElement element = ax.addElement(3, button);
    AXResult<std::string> print;
    ax.fingerprint(element, Milliseconds(100), nullptr, [&](AXResult<std::string> r) { print = r; });
    clock.runDue();
    EXPECT_EQ(print.status, AXStatus::notSupported);
}

TEST(DirectPastePermissions, ReportAndImpossibility) {
    ManualClock clock;
    FakeAccessibility ax(clock);
    FakeKeyEventPoster poster;

    ax.setTrusted(true);
    auto both = probeDirectPastePermissions(ax, poster);
    EXPECT_EQ(permissionReport(both), "AX_TRUSTED=true\nPOST_EVENT_ALLOWED=true\n");
    EXPECT_FALSE(both.directPasteImpossible());

    // Accessibility switched off on an existing bus can still be granted.
    ax.setTrusted(false);
    auto off = probeDirectPastePermissions(ax, poster);
    EXPECT_EQ(permissionReport(off), "AX_TRUSTED=false\nPOST_EVENT_ALLOWED=true\n");
    EXPECT_FALSE(off.directPasteImpossible());

    // No bus, or no way to post events: never.
    ax.setAvailable(false);
    EXPECT_TRUE(probeDirectPastePermissions(ax, poster).directPasteImpossible());
    ax.setAvailable(true);
    poster.setAllowed(false);
    auto noEvents = probeDirectPastePermissions(ax, poster);
    EXPECT_EQ(permissionReport(noEvents), "AX_TRUSTED=false\nPOST_EVENT_ALLOWED=false\n");
    EXPECT_TRUE(noEvents.directPasteImpossible());
}

TEST(HotKeyError, Descriptions) {
    EXPECT_EQ((HotKeyError{HotKeyError::Kind::registrationFailed, 10}).description(),
              "Shift+Super+V is already used by another program (10).");
    EXPECT_EQ((HotKeyError{HotKeyError::Kind::installFailed, -1}).description(),
              "Could not install the hotkey handler (-1).");
}
