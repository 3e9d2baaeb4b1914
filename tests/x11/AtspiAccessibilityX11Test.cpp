#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "TextFieldProcess.h"
#include "platform/linux/AtspiAccessibility.h"

using namespace harbelle;
using harbelle::testing::TextFieldProcess;

namespace {

// Waits for one asynchronous reply while the event loop runs.
template <class T>
std::optional<AXResult<T>> await(const std::function<void(Accessibility::Reply<T>)>& call, int timeoutMs = 8000) {
    std::optional<AXResult<T>> result;
    call([&](AXResult<T> r) { result = std::move(r); });
    (void)QTest::qWaitFor([&] { return result.has_value(); }, timeoutMs);
    return result;
}

// The field's focused element; a freshly started application needs a moment to register.
AXElement focusedElementOf(AtspiAccessibility& ax, const TextFieldProcess& field, QObject* context) {
    AXElement element;
    (void)QTest::qWaitFor(
        [&] {
            auto found = await<AXElement>([&](auto reply) {
                ax.focusedElement(field.pid(), Milliseconds(2000), context, reply);
            });
            if (found && found->ok()) element = found->value;
            return element != nullptr;
        },
        10000);
    return element;
}

}  // namespace

TEST(AtspiAccessibility, InsertsOverTheSelectionOnly) {
    AtspiAccessibility ax;
    ASSERT_TRUE(ax.isTrusted());
    TextFieldProcess field({QStringLiteral("--text"), QStringLiteral("hello world"), QStringLiteral("--select"),
                            QStringLiteral("6"), QStringLiteral("11")});
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(field.activate());
    QObject context;

    const AXElement element = focusedElementOf(ax, field, &context);
    ASSERT_TRUE(element) << "no focused element found for the field";
    EXPECT_EQ(element->processId(), field.pid());

    auto read = await<ElementInfo>([&](auto reply) { ax.readElement(element, Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(read && read->ok());
    EXPECT_EQ(read->value.value, std::optional<std::string>("hello world"));
    EXPECT_EQ(read->value.selection, (std::optional<TextRange>{TextRange{6, 11}}));
    EXPECT_TRUE(read->value.editable);
    EXPECT_TRUE(read->value.focused);
    const auto before = textFingerprint(read->value);

    // Non-ASCII text checks the length argument the toolkit expects.
    std::optional<AXStatus> inserted;
    ax.insertText(element, "Harbelle \u2713\U0001F600", Milliseconds(2000), &context,
                  [&](AXStatus status) { inserted = status; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return inserted.has_value(); }, 5000));
    EXPECT_EQ(inserted, AXStatus::success);
    EXPECT_TRUE(field.waitForContent(QString::fromUtf8("hello Harbelle \u2713\U0001F600"))) << field.content().toStdString();

    auto after = await<std::string>([&](auto reply) { ax.fingerprint(element, Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(after && after->ok());
    EXPECT_NE(std::optional<std::string>(after->value), before);

    // A second lookup names the same element; the window is found too.
    auto again = await<AXElement>([&](auto reply) { ax.focusedElement(field.pid(), Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(again && again->ok());
    EXPECT_TRUE(sameElement(again->value, element));
    auto window = await<AXElement>([&](auto reply) { ax.focusedWindow(field.pid(), Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(window && window->ok());
    EXPECT_FALSE(sameElement(window->value, element));

    auto focus = await<bool>([&](auto reply) { ax.setFocus(element, Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(focus && focus->ok());
    EXPECT_TRUE(focus->value);
}

TEST(AtspiAccessibility, UnknownProcessHasNoApplication) {
    AtspiAccessibility ax;
    QObject context;
    auto found = await<AXElement>([&](auto reply) { ax.focusedElement(999999, Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(found);
    EXPECT_EQ(found->status, AXStatus::noApplication);
}

TEST(AtspiAccessibility, StoppedApplicationTimesOutWithoutBlocking) {
    AtspiAccessibility ax;
    TextFieldProcess field({QStringLiteral("--text"), QStringLiteral("frozen")});
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(field.activate());
    QObject context;
    const AXElement element = focusedElementOf(ax, field, &context);
    ASSERT_TRUE(element);

    field.stop();
    QElapsedTimer timer;
    timer.start();
    std::optional<AXResult<ElementInfo>> read;
    ax.readElement(element, Milliseconds(600), &context, [&](AXResult<ElementInfo> r) { read = r; });
    EXPECT_LT(timer.elapsed(), 100) << "the call must not wait for the application";
    int ticks = 0;  // the GUI thread keeps running meanwhile
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return read.has_value(); }, 5000));
    EXPECT_EQ(read->status, AXStatus::timedOut);
    EXPECT_GE(timer.elapsed(), 550);
    EXPECT_LT(timer.elapsed(), 1500);
    EXPECT_GE(ticks, 8);

    // Once the application runs again, queries work again.
    field.resume();
    std::optional<AXResult<ElementInfo>> later;
    (void)QTest::qWaitFor(
        [&] {
            later = await<ElementInfo>([&](auto reply) { ax.readElement(element, Milliseconds(1500), &context, reply); });
            return later && later->ok();
        },
        8000);
    ASSERT_TRUE(later && later->ok());
    EXPECT_EQ(later->value.value, std::optional<std::string>("frozen"));
}

// Giving the focus to a stopped application's field holds the one worker only until that
// query's deadline: a query about another application, asked right after, is answered.
TEST(AtspiAccessibility, AStoppedApplicationLeavesTheNextQueryItsTime) {
    AtspiAccessibility ax;
    ASSERT_TRUE(ax.isTrusted());
    TextFieldProcess stopped({QStringLiteral("--text"), QStringLiteral("frozen")}, harbelle::testing::gtkFieldCommand());
    TextFieldProcess other({QStringLiteral("--text"), QStringLiteral("alive")}, harbelle::testing::gtkFieldCommand());
    ASSERT_TRUE(stopped.waitForWindow() && other.waitForWindow());
    ASSERT_TRUE(stopped.activate());
    QObject context;
    const AXElement element = focusedElementOf(ax, stopped, &context);
    ASSERT_TRUE(element);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            auto window = await<AXElement>([&](auto reply) { ax.focusedWindow(other.pid(), Milliseconds(2000), &context, reply); });
            return window && window->ok();
        },
        10000));

    stopped.stop();
    QElapsedTimer timer;
    timer.start();
    ax.setFocus(element, Milliseconds(1000), &context, [](AXResult<bool>) {});
    auto window = await<AXElement>([&](auto reply) { ax.focusedWindow(other.pid(), Milliseconds(4000), &context, reply); });
    ASSERT_TRUE(window);
    EXPECT_EQ(window->status, AXStatus::success) << timer.elapsed() << " ms";
    stopped.resume();
}

// A GTK application opens its own connection to the accessibility bus, whose handlers must run
// on the AT-SPI worker only; and states come from the application, never from a stale cache.
TEST(AtspiAccessibility, FollowsTheFocusAcrossGtkEntriesRoundAfterRound) {
    AtspiAccessibility ax;
    ASSERT_TRUE(ax.isTrusted());
    TextFieldProcess gtk({QStringLiteral("--entries"), QStringLiteral("2")}, harbelle::testing::gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    ASSERT_TRUE(gtk.activate());
    QObject context;
    const AXElement first = focusedElementOf(ax, gtk, &context);
    ASSERT_TRUE(first);

    AXElement focused = first;
    QString texts[2];
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        // Tab moves the focus to the other entry; the lookup must follow it once GTK has moved it.
        ASSERT_TRUE(harbelle::testing::runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Tab")}));
        std::optional<AXResult<AXElement>> found;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                found = await<AXElement>([&](auto reply) { ax.focusedElement(gtk.pid(), Milliseconds(2000), &context, reply); });
                return found && found->ok() && !sameElement(found->value, focused);
            },
            5000))
            << "the focus moved";
        ASSERT_TRUE(found && found->ok());
        auto old = await<ElementInfo>([&](auto reply) { ax.readElement(focused, Milliseconds(2000), &context, reply); });
        ASSERT_TRUE(old && old->ok());
        EXPECT_FALSE(old->value.focused);
        focused = found->value;

        std::optional<AXStatus> inserted;
        ax.insertText(focused, "x", Milliseconds(2000), &context, [&](AXStatus status) { inserted = status; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return inserted.has_value(); }, 5000));
        EXPECT_EQ(inserted, AXStatus::success);
        // GTK selects an entry's text when Tab focuses it, so the insertion replaces it.
        texts[sameElement(focused, first) ? 0 : 1] = QStringLiteral("x");
        EXPECT_TRUE(gtk.waitForContent(texts[0] + QLatin1Char('\n') + texts[1])) << gtk.content().toStdString();
    }
}

// The remembered entry's window did not take the focus back by itself: giving the entry the
// focus (GTK then selects the whole entry) keeps the user's caret, so the clip lands there and
// replaces nothing.
TEST(AtspiAccessibility, FocusGivenBackToAnEntryKeepsItsCaret) {
    AtspiAccessibility ax;
    ASSERT_TRUE(ax.isTrusted());
    TextFieldProcess gtk({QStringLiteral("--entries"), QStringLiteral("2"), QStringLiteral("--text"),
                          QStringLiteral("hello world"), QStringLiteral("--caret"), QStringLiteral("5")},
                         harbelle::testing::gtkFieldCommand());
    TextFieldProcess other;
    ASSERT_TRUE(gtk.waitForWindow() && other.waitForWindow()) << "python3-gi with GTK 3 is needed";
    ASSERT_TRUE(gtk.activate());
    QObject context;
    const AXElement entry = focusedElementOf(ax, gtk, &context);
    ASSERT_TRUE(entry);
    ASSERT_TRUE(other.activate());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            auto read = await<ElementInfo>([&](auto reply) { ax.readElement(entry, Milliseconds(2000), &context, reply); });
            return read && read->ok() && !read->value.focused;
        },
        5000));

    // The window comes to the front a moment after the grab: the entry is focused then.
    auto focus = await<bool>([&](auto reply) { ax.setFocus(entry, Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(focus && focus->ok()) << (focus ? axStatusName(focus->status) : "no answer");
    ASSERT_TRUE(QTest::qWaitFor([&] {
        auto read = await<ElementInfo>([&](auto reply) { ax.readElement(entry, Milliseconds(2000), &context, reply); });
        return read && read->ok() && read->value.focused;
    }));
    std::optional<AXStatus> inserted;
    ax.insertText(entry, ", dear", Milliseconds(2000), &context, [&](AXStatus status) { inserted = status; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return inserted.has_value(); }, 5000));
    EXPECT_EQ(inserted, AXStatus::success);
    EXPECT_TRUE(gtk.waitForContent(QStringLiteral("hello, dear world\n"))) << gtk.content().toStdString();
}

// Another window took the keyboard (the shelf): the entry that last gained the focus is still
// the application's focused element.
TEST(AtspiAccessibility, AnEntryThatLostTheFocusToAnotherWindowIsStillFound) {
    AtspiAccessibility ax;
    ASSERT_TRUE(ax.isTrusted());
    TextFieldProcess gtk({QStringLiteral("--text"), QStringLiteral("abc")}, harbelle::testing::gtkFieldCommand());
    TextFieldProcess other;
    ASSERT_TRUE(gtk.waitForWindow() && other.waitForWindow()) << "python3-gi with GTK 3 is needed";
    // The entry gains the focus once the focus events are followed.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return other.activate() && gtk.activate() && ax.remembersFocusedElement(gtk.pid()); }, 10000));
    QObject context;
    const AXElement entry = focusedElementOf(ax, gtk, &context);
    ASSERT_TRUE(entry && other.activate());
    ASSERT_TRUE(QTest::qWaitFor([&] {
        auto read = await<ElementInfo>([&](auto reply) { ax.readElement(entry, Milliseconds(2000), &context, reply); });
        return read && read->ok() && !read->value.focused;
    }));
    auto found = await<AXElement>([&](auto reply) { ax.focusedElement(gtk.pid(), Milliseconds(2000), &context, reply); });
    ASSERT_TRUE(found && found->ok()) << axStatusName(found ? found->status : AXStatus::failed);
    EXPECT_TRUE(sameElement(found->value, entry));
}
