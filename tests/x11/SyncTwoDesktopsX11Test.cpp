// Two real programs, each in a private desktop of its own (Xvfb, D-Bus, keyring, XDG folders),
// syncing through one reference service.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sync/SyncReferenceService.h"

namespace {

constexpr const char* kEmail = "two.desktops@example.org";
constexpr const char* kPassword = "correct horse battery staple";

// One program in its own desktop, started through the session script.
class DesktopProgram {
public:
    // A new user: no settings file, and a desktop whose accessibility bus is there but switched
    // off. Qt still offers its tree, so the test can read the screen as a screen reader does.
    DesktopProgram(const std::string& baseURL, const QString& accountMode) : baseURL_(baseURL) {
        for (const char* folder : {"data", "config", "cache"}) QDir().mkpath(path(QString::fromLatin1(folder)));
        start(accountMode);
    }
    // Starts (again) on the same folders, in a new desktop with a new keyring.
    void start(const QString& accountMode) {
        QFile::remove(path(QStringLiteral("pid")));
        QFile::remove(path(QStringLiteral("stdout.txt")));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HARBELLE_X11_XDG_ROOT"), dir_.path());
        env.insert(QStringLiteral("HARBELLE_SYNC_BASE_URL"), QString::fromStdString(baseURL_));
        env.insert(QStringLiteral("HARBELLE_QA_SYNC_EMAIL"), QString::fromLatin1(kEmail));
        env.insert(QStringLiteral("HARBELLE_QA_SYNC_PASSWORD"), QString::fromLatin1(kPassword));
        env.insert(QStringLiteral("HARBELLE_X11_A11Y"), QStringLiteral("off"));
        env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        session_.setProcessEnvironment(env);
        session_.setStandardOutputFile(path(QStringLiteral("stdout.txt")));
        session_.setStandardErrorFile(path(QStringLiteral("stderr.txt")));
        // The program's own pid, display and session bus, for signals and for the clients of its desktop.
        const QString inner =
            QStringLiteral("echo $$ > '%1'; echo $DISPLAY > '%2'; echo $DBUS_SESSION_BUS_ADDRESS > '%3'; "
                           "exec '%4' --qa-sync-account %5")
                .arg(path(QStringLiteral("pid")), path(QStringLiteral("display")), path(QStringLiteral("bus")),
                     QStringLiteral(HARBELLE_BINARY), accountMode);
        session_.start(QStringLiteral("bash"), {QStringLiteral(HARBELLE_X11_SESSION_SCRIPT), QStringLiteral("bash"),
                                                QStringLiteral("-c"), inner});
    }
    ~DesktopProgram() {
        if (session_.state() == QProcess::NotRunning) return;
        if (const pid_t p = pid()) ::kill(p, SIGTERM);
        if (!session_.waitForFinished(10000)) {
            session_.kill();
            session_.waitForFinished(3000);
        }
    }

    QString path(const QString& relative) const { return QDir(dir_.path()).filePath(relative); }
    QString read(const QString& relative) const {
        QFile file(path(relative));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    pid_t pid() const { return static_cast<pid_t>(read(QStringLiteral("pid")).trimmed().toLongLong()); }
    QString display() const { return read(QStringLiteral("display")).trimmed(); }
    bool signedIn() const { return read(QStringLiteral("stdout.txt")).contains(QStringLiteral("SYNC_ACCOUNT=ok")); }
    QString output() const { return read(QStringLiteral("stdout.txt")) + read(QStringLiteral("stderr.txt")); }
    bool running() const { return pid() > 0 && ::kill(pid(), 0) == 0; }

    nlohmann::json history() const {
        const QString text = read(QStringLiteral("data/Pemberlow/history.json"));
        auto parsed = nlohmann::json::parse(text.toStdString(), nullptr, false);
        return parsed.is_discarded() ? nlohmann::json::object() : parsed;
    }
    // The first clip of the history whose field `key` equals `value`.
    std::optional<nlohmann::json> clip(const std::string& key, const std::string& value) const {
        const auto root = history();
        if (!root.contains("items")) return std::nullopt;
        for (const auto& item : root["items"])
            if (item.contains(key) && item[key].is_string() && item[key].get<std::string>() == value) return item;
        return std::nullopt;
    }
    std::optional<nlohmann::json> imageClip() const { return clip("kind", "image"); }

    // Runs a client of this desktop (xclip, xdotool, the screen reader); its output, or none when it failed.
    std::optional<QByteArray> runInDesktop(const QString& program, const QStringList& arguments,
                                           const QByteArray& input = {}, bool readOutput = false) const {
        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display());
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), read(QStringLiteral("bus")).trimmed());
        client.setProcessEnvironment(env);
        client.setStandardErrorFile(QProcess::nullDevice());
        // xclip stays behind owning the selection, keeping the output it inherited: that goes nowhere.
        if (!readOutput) client.setStandardOutputFile(QProcess::nullDevice());
        client.start(program, arguments);
        if (!client.waitForStarted(5000)) return std::nullopt;
        if (!input.isEmpty()) client.write(input);
        client.closeWriteChannel();
        if (!client.waitForFinished(10000) || client.exitCode() != 0) return std::nullopt;
        return readOutput ? client.readAllStandardOutput() : QByteArray();
    }
    bool pressKeys(const QString& keys) const {
        QStringList arguments{QStringLiteral("key")};
        arguments += keys.split(QLatin1Char(' '));
        return runInDesktop(QStringLiteral("xdotool"), arguments).has_value();
    }
    bool click(const QRect& target, int button = 1) const {
        const QPoint centre = target.center();
        return runInDesktop(QStringLiteral("xdotool"),
                            {QStringLiteral("mousemove"), QString::number(centre.x()), QString::number(centre.y()),
                             QStringLiteral("click"), QString::number(button)})
            .has_value();
    }

    // What a screen reader finds shown on this program's screen.
    struct Element {
        QString role;
        QString name;
        QRect extents;
    };
    std::vector<Element> shownElements() const {
        std::vector<Element> elements;
        const auto output = runInDesktop(QStringLiteral(HARBELLE_SCREEN_READER), {QString::number(pid())}, {}, true);
        if (!output) return elements;
        for (const QByteArray& line : output->split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() != 6) continue;
            elements.push_back({QString::fromUtf8(fields[0]), QString::fromUtf8(fields[1]),
                                QRect(fields[2].toInt(), fields[3].toInt(), fields[4].toInt(), fields[5].toInt())});
        }
        return elements;
    }
    std::optional<Element> shown(const QString& role, const QString& name) const {
        for (const Element& element : shownElements())
            if (element.role == role && element.name == name && !element.extents.isEmpty()) return element;
        return std::nullopt;
    }

    // The first-run sheet on the shelf, answered from the keyboard as a user who wants history
    // and sync but no direct paste: from "Request Accessibility Access" past "Check Again" (and
    // "Open System Settings", shown where the desktop has them) to "Use History in Copy-Only Mode".
    bool chooseCopyOnlyMode() const {
        const QString copyOnly = QStringLiteral("Use History in Copy-Only Mode");
        const bool asked = QTest::qWaitFor(
            [&] {
                const auto active = runInDesktop(QStringLiteral("xdotool"),
                                                 {QStringLiteral("getactivewindow"), QStringLiteral("getwindowname")},
                                                 {}, true);
                return active && active->trimmed() == "Harbelle" && shown(QStringLiteral("push button"), copyOnly);
            },
            15000);
        const bool settings = shown(QStringLiteral("push button"), QStringLiteral("Open System Settings")).has_value();
        return asked && pressKeys(settings ? QStringLiteral("Tab Tab Tab space") : QStringLiteral("Tab Tab space")) &&
               QTest::qWaitFor([&] { return !shown(QStringLiteral("push button"), copyOnly); }, 5000);
    }
    // The program's menus on screen: shown windows of the screen's own (the window manager
    // frames the shelf). A name search misses the menu's window, so each window's name is read.
    // Some of the shelf's parts are windows of their own that come and go, so a new menu is told
    // by its window, not by a count.
    QStringList menuWindows() const {
        const auto found = runInDesktop(
            QStringLiteral("bash"),
            {QStringLiteral("-c"), QStringLiteral("for w in $(xdotool search --maxdepth 1 --onlyvisible --name '.*'); do "
                                                  "[ \"$(xdotool getwindowname $w)\" = Harbelle ] && echo $w; done; true")},
            {}, true);
        return found ? QString::fromLatin1(*found).split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
    }
    // Opens the shelf with the hot key and waits until its search field is on screen.
    bool openShelf() const {
        return pressKeys(QStringLiteral("shift+super+v")) &&
               QTest::qWaitFor([&] { return shown(QStringLiteral("text"), QStringLiteral("Search")).has_value(); },
                               5000);
    }
    bool copyText(const QString& text) const {
        return runInDesktop(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                                      QStringLiteral("-i")},
                            text.toUtf8())
            .has_value();
    }
    // An entry of the shelf's card menu, picked from its end with the keyboard, as the user does.
    // (Delete on the keyboard goes to the search field, which has the keyboard while the shelf is
    // open.) The menu is a window of its own beside the shelf; its last entries are "Edit" and
    // "Delete".
    bool pickFromCardMenu(const QString& text, const QString& keys) const {
        std::optional<Element> card;
        if (!openShelf() || !QTest::qWaitFor([&] { return (card = shown(QStringLiteral("list item"), text)).has_value(); }, 5000))
            return false;
        const QStringList windowsBefore = menuWindows();
        const auto menuShown = [&] {
            const QStringList now = menuWindows();
            bool fresh = false;
            for (const QString& w : now) fresh = fresh || !windowsBefore.contains(w);
            return fresh;
        };
        return click(card->extents, 3) && QTest::qWaitFor(menuShown, 5000) && pressKeys(keys);
    }
    // "Delete" on the card; the shelf is closed after.
    bool deleteOnShelf(const QString& text) const {
        const bool deleted = pickFromCardMenu(text, QStringLiteral("Up Return")) &&
                             QTest::qWaitFor([&] { return !clip("text", text.toStdString()); }, 5000);
        return pressKeys(QStringLiteral("Escape")) && deleted;
    }
    // Types over the text of the open editor sheet, unsaved.
    bool typeOverEditor(const QString& text) const {
        return QTest::qWaitFor(
                   [&] {
                       return shown(QStringLiteral("label"), QStringLiteral("Edit Clip")) ||
                              shown(QStringLiteral("label"), QStringLiteral("New Text Clip"));
                   },
                   5000) &&
               pressKeys(QStringLiteral("ctrl+a")) &&
               runInDesktop(QStringLiteral("xdotool"), {QStringLiteral("type"), text}).has_value();
    }
    // Types over the text of the open editor sheet and saves it with Ctrl+Return.
    bool typeInEditor(const QString& text) const {
        return typeOverEditor(text) && pressKeys(QStringLiteral("ctrl+Return")) &&
               QTest::qWaitFor([&] { return clip("text", text.toStdString()).has_value(); }, 5000);
    }
    // "Edit" on the card, or the toolbar's "New Clip": typed over and saved; the shelf is closed after.
    bool editOnShelf(const QString& text, const QString& edited) const {
        const bool saved = pickFromCardMenu(text, QStringLiteral("Up Up Return")) && typeInEditor(edited);
        return pressKeys(QStringLiteral("Escape")) && saved;
    }
    bool newClipOnShelf(const QString& typed) const {
        std::optional<Element> button;
        const bool saved = openShelf() && (button = shown(QStringLiteral("push button"), QStringLiteral("New Clip"))) &&
                           click(button->extents) && typeInEditor(typed);
        return pressKeys(QStringLiteral("Escape")) && saved;
    }
    bool copyPNG(const QString& file) const {
        return runInDesktop(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                                      QStringLiteral("-t"), QStringLiteral("image/png"),
                                                      QStringLiteral("-i"), file})
            .has_value();
    }

    QProcess& session() { return session_; }

private:
    std::string baseURL_;
    QTemporaryDir dir_;
    QProcess session_;
};

bool waitFor(const std::function<bool()>& done, int timeoutMs) { return QTest::qWaitFor(done, timeoutMs); }

// A noisy photo-like picture that no encoder shrinks to nothing.
QString writeLargePNG(const QString& file) {
    QImage image(4000, 3000, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            row[x] = qRgb((x * 7 + y) & 0xff, (y * 3) & 0xff, ((x ^ y) * 5) & 0xff);
    }
    image.save(file, "png");
    return file;
}

}  // namespace

TEST(SyncTwoDesktopsX11, TextAndImagesTravelEncryptedAndQuittingStaysPrompt) {
    harbelle::sync::SyncReferenceService service;
    service.start();
    // Two new users: A signs up, B signs in; each answers the first-run sheet.
    DesktopProgram a(service.baseURL(), QStringLiteral("create"));
    ASSERT_TRUE(waitFor([&] { return a.signedIn(); }, 30000)) << a.output().toStdString();
    ASSERT_TRUE(a.chooseCopyOnlyMode()) << a.output().toStdString();
    DesktopProgram b(service.baseURL(), QStringLiteral("sign-in"));
    ASSERT_TRUE(waitFor([&] { return b.signedIn(); }, 30000)) << b.output().toStdString();
    ASSERT_TRUE(b.chooseCopyOnlyMode()) << b.output().toStdString();

    // Text: A's copy shows up on B, marked as synced, and the service never sees the words.
    const QString secret = QStringLiteral("shared sentence %1").arg(QDateTime::currentMSecsSinceEpoch());
    QElapsedTimer timer;
    ASSERT_TRUE(waitFor([&] { return a.copyText(secret); }, 5000));
    timer.start();
    ASSERT_TRUE(waitFor([&] { return b.clip("text", secret.toStdString()).has_value(); }, 7000))
        << a.output().toStdString() << b.output().toStdString();
    const qint64 visibleAfter = timer.elapsed();
    std::printf("copy on A visible on B after %lld ms (target < 6000 ms)\n", static_cast<long long>(visibleAfter));
    EXPECT_EQ(b.clip("text", secret.toStdString())->value("sourceAppName", ""), "Synced");
    EXPECT_EQ(service.dump().dump().find(secret.toStdString()), std::string::npos);

    // A delete on B's shelf.
    ASSERT_TRUE(b.deleteOnShelf(secret));
    // It leaves A's history file and A's shelf.
    ASSERT_TRUE(waitFor([&] { return !a.clip("text", secret.toStdString()); }, 15000))
        << a.output().toStdString() << b.output().toStdString();
    ASSERT_TRUE(a.openShelf());
    EXPECT_FALSE(a.shown(QStringLiteral("list item"), secret).has_value());
    EXPECT_TRUE(waitFor([&] { return a.shown(QStringLiteral("label"), QStringLiteral("No clips yet")).has_value(); },
                        5000));
    ASSERT_TRUE(a.pressKeys(QStringLiteral("Escape")));

    // Quitting while the service stalls every answer: out within 2 s, history written.
    const QString last = QStringLiteral("copied before the stall %1").arg(QDateTime::currentMSecsSinceEpoch());
    harbelle::sync::SyncReferenceService::ForcedAnswer stall;
    stall.kind = harbelle::sync::SyncReferenceService::ForcedAnswer::Kind::delay;
    stall.delayMilliseconds = 30000;
    stall.count = 1000;
    for (const char* endpoint : {"push", "pull", "delete", "blobs", "media", "logout"}) service.force(endpoint, stall);
    service.clearRequestLog();
    ASSERT_TRUE(a.copyText(last));
    const auto pushWaiting = [&] {
        const auto log = service.requestLog();
        return std::any_of(log.begin(), log.end(), [](const auto& request) { return request.path == "/v1/push"; });
    };
    ASSERT_TRUE(waitFor(pushWaiting, 10000)) << "captured, and its upload waits on the service";
    const pid_t pid = a.pid();
    timer.restart();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const bool quit = waitFor([&] { return !a.running(); }, 5000);
    if (!quit) {
        QProcess gdb;
        gdb.start(QStringLiteral("gdb"), {QStringLiteral("-p"), QString::number(pid), QStringLiteral("-batch"),
                                          QStringLiteral("-ex"), QStringLiteral("thread apply all bt 12")});
        gdb.waitForFinished(30000);
        std::printf("%s\n", gdb.readAllStandardOutput().constData());
        std::printf("%s\n", a.output().toStdString().c_str());
    }
    ASSERT_TRUE(quit);
    EXPECT_LT(timer.elapsed(), 2000) << "quit took " << timer.elapsed() << " ms";
    EXPECT_TRUE(a.clip("text", last.toStdString()).has_value());
    service.clearForced();
    ASSERT_TRUE(a.session().waitForFinished(10000));

    // A again, in a new desktop whose keyring knows no session: it signs in anew.
    a.start(QStringLiteral("sign-in"));
    ASSERT_TRUE(waitFor([&] { return a.signedIn(); }, 30000)) << a.output().toStdString();

    // Image: a 4000 x 3000 PNG arrives on B as A's derivative, byte for byte.
    QTemporaryDir pictures;
    const QString png = writeLargePNG(pictures.filePath(QStringLiteral("large.png")));
    ASSERT_TRUE(a.copyPNG(png));
    ASSERT_TRUE(waitFor([&] { return a.imageClip() && a.imageClip()->contains("syncPayloadDigest"); }, 20000));
    const std::string digest = (*a.imageClip())["syncPayloadDigest"].get<std::string>();
    ASSERT_TRUE(waitFor([&] { return b.imageClip().has_value(); }, 20000)) << b.output().toStdString();
    EXPECT_EQ((*b.imageClip())["syncPayloadDigest"].get<std::string>(), digest);
    EXPECT_EQ((*b.imageClip())["sourceAppName"].get<std::string>(), "Synced");

}

// Two desktops as a user keeps them: B signs in holding an older copy of a text A synced, which A
// deletes; each types a clip with New Clip (B's over the placeholder it received from A); A edits
// a synced clip and copies its old text again, which B deletes; A deletes its typed clip. What
// was typed or edited stays as it was left, every delete arrives, and sync keeps flowing.
TEST(SyncTwoDesktopsX11, TypedAndEditedClipsStayAndEveryDeleteArrives) {
    harbelle::sync::SyncReferenceService service;
    service.start();
    const auto has = [](const DesktopProgram& p, const QString& text) { return p.clip("text", text.toStdString()); };
    // B's sign-in fails (no account yet): it copies a text while signed out.
    DesktopProgram b(service.baseURL(), QStringLiteral("sign-in"));
    ASSERT_TRUE(waitFor([&] { return b.output().contains(QStringLiteral("SYNC_ACCOUNT=error")); }, 30000));
    ASSERT_TRUE(b.chooseCopyOnlyMode()) << b.output().toStdString();
    const QString older = QStringLiteral("copied on both desktops"), original = QStringLiteral("text before the edit");
    ASSERT_TRUE(b.copyText(older) && waitFor([&] { return has(b, older).has_value(); }, 5000));
    DesktopProgram a(service.baseURL(), QStringLiteral("create"));
    ASSERT_TRUE(waitFor([&] { return a.signedIn(); }, 30000)) << a.output().toStdString();
    ASSERT_TRUE(a.chooseCopyOnlyMode()) << a.output().toStdString();
    ASSERT_TRUE(a.copyText(older) && waitFor([&] { return has(a, older).has_value(); }, 5000));
    ASSERT_TRUE(a.copyText(original) && waitFor([&] { return has(a, original).has_value(); }, 5000));
    ASSERT_EQ(::kill(b.pid(), SIGTERM), 0);
    ASSERT_TRUE(b.session().waitForFinished(10000));
    b.start(QStringLiteral("sign-in"));
    ASSERT_TRUE(waitFor([&] { return b.signedIn() && has(b, original); }, 30000)) << b.output().toStdString();
    EXPECT_EQ((*has(b, older))["id"], (*has(a, older))["id"]) << "B's older copy took the record's id";
    ASSERT_TRUE(a.deleteOnShelf(older));
    ASSERT_TRUE(waitFor([&] { return !has(b, older); }, 20000)) << b.output().toStdString();

    const QString typedOnA = QStringLiteral("snippet typed on A"), typedOnB = QStringLiteral("snippet typed on B");
    ASSERT_TRUE(a.newClipOnShelf(typedOnA)) << a.output().toStdString();
    ASSERT_TRUE(waitFor([&] { return has(b, typedOnA).has_value(); }, 20000)) << b.output().toStdString();
    ASSERT_TRUE(b.newClipOnShelf(typedOnB)) << b.output().toStdString();
    const QString edited = QStringLiteral("text after the edit");
    ASSERT_TRUE(a.editOnShelf(original, edited)) << a.output().toStdString();
    ASSERT_TRUE(a.copyText(original) && waitFor([&] { return has(a, original).has_value(); }, 5000));
    ASSERT_TRUE(waitFor([&] { return has(b, edited) && has(a, typedOnB); }, 20000)) << b.output().toStdString();

    ASSERT_TRUE(b.deleteOnShelf(original));
    ASSERT_TRUE(waitFor([&] { return !has(a, original); }, 20000)) << a.output().toStdString();
    ASSERT_TRUE(a.deleteOnShelf(typedOnA));
    ASSERT_TRUE(waitFor([&] { return !has(b, typedOnA); }, 20000)) << b.output().toStdString();
    const QString later = QStringLiteral("copied on B at the end");
    ASSERT_TRUE(b.copyText(later));
    ASSERT_TRUE(waitFor([&] { return has(a, later).has_value(); }, 20000)) << a.output().toStdString();
    for (const auto& [program, text] : {std::pair{&a, edited}, {&a, typedOnB}, {&b, edited}, {&b, typedOnB}})
        EXPECT_TRUE(has(*program, text).has_value()) << text.toStdString();
    EXPECT_FALSE(a.output().contains(QStringLiteral("refused"))) << a.output().toStdString();
}

// An edit replaces the old text on both desktops, once. A edits a synced text and back again
// (one id on both, so B's delete of it reaches A) and a clip four times in quick succession.
// While the service is down: A deletes a text that B edits, A copies a secret and edits it, and
// each types a New Clip. Every delete crosses; neither desktop keeps an old text, an
// intermediate version, the secret or a "New reusable snippet" placeholder. Last, A deletes a
// clip B is typing over in the editor: B's save keeps the typed text, which reaches A.
TEST(SyncTwoDesktopsX11, AnEditReplacesTheOldTextOnBothDesktops) {
    harbelle::sync::SyncReferenceService service;
    service.start();
    const auto has = [](const DesktopProgram& p, const QString& text) { return p.clip("text", text.toStdString()); };
    DesktopProgram a(service.baseURL(), QStringLiteral("create"));
    ASSERT_TRUE(waitFor([&] { return a.signedIn(); }, 30000)) << a.output().toStdString();
    ASSERT_TRUE(a.chooseCopyOnlyMode()) << a.output().toStdString();
    DesktopProgram b(service.baseURL(), QStringLiteral("sign-in"));
    ASSERT_TRUE(waitFor([&] { return b.signedIn(); }, 30000)) << b.output().toStdString();
    ASSERT_TRUE(b.chooseCopyOnlyMode()) << b.output().toStdString();

    const QString original = QStringLiteral("text edited and back"), once = QStringLiteral("text edited once");
    ASSERT_TRUE(a.copyText(original));
    ASSERT_TRUE(waitFor([&] { return has(b, original).has_value(); }, 20000)) << b.output().toStdString();
    ASSERT_TRUE(a.editOnShelf(original, once)) << a.output().toStdString();
    ASSERT_TRUE(waitFor([&] { return has(b, once) && !has(b, original); }, 20000)) << b.output().toStdString();
    ASSERT_TRUE(a.editOnShelf(once, original)) << a.output().toStdString();
    ASSERT_TRUE(waitFor([&] { return has(b, original) && !has(b, once); }, 20000)) << b.output().toStdString();
    EXPECT_EQ((*has(b, original))["id"], (*has(a, original))["id"]) << "one clip, one id on both desktops";
    ASSERT_TRUE(b.deleteOnShelf(original));
    ASSERT_TRUE(waitFor([&] { return !has(a, original); }, 20000)) << a.output().toStdString();

    const auto version = [](int n) { return QStringLiteral("edited quickly, version %1").arg(n); };
    ASSERT_TRUE(a.copyText(version(0)));
    ASSERT_TRUE(waitFor([&] { return has(b, version(0)).has_value(); }, 20000)) << b.output().toStdString();
    for (int n = 1; n <= 4; ++n) ASSERT_TRUE(a.editOnShelf(version(n - 1), version(n))) << n;
    const auto onlyTheLast = [&](const DesktopProgram& p) {
        for (int n = 0; n < 4; ++n)
            if (has(p, version(n))) return false;
        return has(p, version(4)).has_value();
    };
    ASSERT_TRUE(waitFor([&] { return onlyTheLast(b) && onlyTheLast(a); }, 30000)) << b.output().toStdString();

    harbelle::sync::SyncReferenceService::ForcedAnswer down;
    down.status = 503;
    down.count = 100000;
    for (const char* endpoint : {"push", "delete"}) service.force(endpoint, down);
    const QString editedOnB = QStringLiteral("B's edit of the text A deleted");
    ASSERT_TRUE(a.deleteOnShelf(version(4)));
    ASSERT_TRUE(b.editOnShelf(version(4), editedOnB)) << b.output().toStdString();
    const QString secret = QStringLiteral("hunter2"), replaced = QStringLiteral("what replaced the secret");
    ASSERT_TRUE(a.copyText(secret) && waitFor([&] { return has(a, secret).has_value(); }, 5000));
    const auto secretID = (*has(a, secret))["id"].get<std::string>();
    ASSERT_TRUE(a.editOnShelf(secret, replaced)) << a.output().toStdString();
    const QString typedOnA = QStringLiteral("typed on A offline"), typedOnB = QStringLiteral("typed on B offline");
    ASSERT_TRUE(a.newClipOnShelf(typedOnA)) << a.output().toStdString();
    ASSERT_TRUE(b.newClipOnShelf(typedOnB)) << b.output().toStdString();
    service.clearForced();

    ASSERT_TRUE(waitFor([&] { return has(a, editedOnB) && has(a, typedOnB) && has(b, replaced) && has(b, typedOnA); },
                        60000))
        << a.output().toStdString() << b.output().toStdString();
    std::vector<QString> gone{secret, QStringLiteral("New reusable snippet")};
    for (int n = 0; n <= 4; ++n) gone.push_back(version(n));
    for (const DesktopProgram* p : {&a, &b})
        for (const QString& text : gone) EXPECT_FALSE(has(*p, text)) << text.toStdString();
    const auto dump = service.dump();
    for (const auto& event : dump.at("accounts").at(kEmail).at("events"))
        EXPECT_FALSE(event.value("client_id", "") == secretID && event.value("type", "") == "upsert")
            << "the secret was edited away before it went up";

    const QString removed = QStringLiteral("deleted on A while B edits it"),
                  typedOver = QStringLiteral("B's typing outlives the delete");
    ASSERT_TRUE(a.copyText(removed));
    ASSERT_TRUE(waitFor([&] { return has(b, removed).has_value(); }, 20000)) << b.output().toStdString();
    ASSERT_TRUE(b.pickFromCardMenu(removed, QStringLiteral("Up Up Return")) && b.typeOverEditor(typedOver));
    ASSERT_TRUE(a.deleteOnShelf(removed));
    ASSERT_TRUE(waitFor([&] { return !has(b, removed); }, 20000)) << b.output().toStdString();
    const bool kept =
        b.pressKeys(QStringLiteral("ctrl+Return")) && waitFor([&] { return has(b, typedOver).has_value(); }, 5000);
    ASSERT_TRUE(b.pressKeys(QStringLiteral("Escape")) && kept) << b.output().toStdString();
    ASSERT_TRUE(waitFor([&] { return has(a, typedOver).has_value(); }, 20000)) << a.output().toStdString();
    for (const DesktopProgram* p : {&a, &b}) EXPECT_FALSE(has(*p, removed));
}

// A user copies a rich clip, deletes it, copies it again; deletes another clip after the
// session ended (its delete answered 401); quits and signs in again. The new session pulls the
// whole log from 0.
TEST(SyncSignInAgainX11, TheRichClipKeepsItsHTMLAndSourceAndTheDeleteStays) {
    harbelle::sync::SyncReferenceService service;
    service.start();
    DesktopProgram a(service.baseURL(), QStringLiteral("create"));
    ASSERT_TRUE(waitFor([&] { return a.signedIn(); }, 30000)) << a.output().toStdString();
    ASSERT_TRUE(a.chooseCopyOnlyMode()) << a.output().toStdString();
    const auto records = [&] { return service.dump()["accounts"][kEmail]["records"].size(); };
    const auto requests = [&](const std::string& path) {
        const auto log = service.requestLog();
        return std::count_if(log.begin(), log.end(), [&](const auto& r) { return r.path == path; });
    };
    // Plain text and HTML offered together, as a browser does.
    const std::string words = "rich words " + std::to_string(QDateTime::currentMSecsSinceEpoch());
    const QString offers = a.path(QStringLiteral("offer"));
    std::ofstream(offers.toStdString() + ".txt") << words;
    std::ofstream(offers.toStdString() + ".html") << "<b>" << words << "</b>";
    const auto copyRich = [&] {
        const QString probe = QStringLiteral("'%1' own UTF8_STRING='%2.txt' text/html='%2.html' >/dev/null 2>&1 &")
                                  .arg(QStringLiteral(HARBELLE_X11_PROBE), offers);
        return a.runInDesktop(QStringLiteral("bash"), {QStringLiteral("-c"), probe}).has_value() &&
               waitFor([&] { return a.clip("text", words) && records() == 1; }, 15000);
    };
    ASSERT_TRUE(copyRich()) << a.output().toStdString();
    ASSERT_TRUE(a.deleteOnShelf(QString::fromStdString(words)));
    ASSERT_TRUE(waitFor([&] { return records() == 0; }, 15000));
    ASSERT_TRUE(copyRich()) << a.output().toStdString();
    const nlohmann::json rich = *a.clip("text", words);
    ASSERT_TRUE(rich.contains("htmlData"));

    // Copied, synced, then deleted after the session ended. The next request with the revoked
    // token (the delete's, or a poll's when the shelf is slow on a busy machine) answers 401 and
    // ends the session; either way the delete waits for the next sign-in.
    const QString gone = QStringLiteral("deleted after the session ended %1").arg(QDateTime::currentMSecsSinceEpoch());
    ASSERT_TRUE(a.copyText(gone));
    ASSERT_TRUE(waitFor([&] { return records() == 2; }, 15000));
    service.clearRequestLog();
    service.revokeAllTokens(kEmail);
    ASSERT_TRUE(a.deleteOnShelf(gone));
    ASSERT_TRUE(waitFor([&] { return requests("/v1/delete") + requests("/v1/pull") > 0; }, 15000));

    // Quit; sign in again in a new desktop: the new session pulls the log from 0, twice.
    ASSERT_EQ(::kill(a.pid(), SIGTERM), 0);
    ASSERT_TRUE(a.session().waitForFinished(10000));
    service.clearRequestLog();
    a.start(QStringLiteral("sign-in"));
    ASSERT_TRUE(waitFor([&] { return requests("/v1/pull") >= 2 && records() == 1; }, 30000)) << a.output().toStdString();
    const auto kept = a.clip("text", words);
    ASSERT_TRUE(kept.has_value());
    for (const char* field : {"id", "htmlData", "sourceAppName", "createdAt"}) EXPECT_EQ((*kept)[field], rich[field]);
    EXPECT_FALSE(a.clip("text", gone.toStdString()).has_value());
}
