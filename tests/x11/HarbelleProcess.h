#pragma once

// The real program in the test desktop, with XDG folders of its own.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TextFieldProcess.h"
#include "history/HistoryCodec.h"

namespace harbelle::testing {

// Whether the program's shelf window is shown.
inline bool shelfWindowVisible() {
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                  QStringLiteral("^Harbelle$")});
    search.waitForFinished(5000);
    return search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty();
}

// The title of the active window, empty without one.
inline QString activeWindowName() {
    QProcess query;
    query.start(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow"), QStringLiteral("getwindowname")});
    query.waitForFinished(5000);
    return QString::fromUtf8(query.readAllStandardOutput()).trimmed();
}

// Types keys through the server, as the user's keyboard would.
inline bool pressKeys(const char* keys) {
    return runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QString::fromLatin1(keys)});
}

// The shelf is the active window (it has the keyboard).
inline bool shelfHasKeyboard() {
    return QTest::qWaitFor([] { return activeWindowName() == QStringLiteral("Harbelle"); }, 5000);
}

// Opens the shelf with the hot key; a press while the previous window is still taking the focus
// can be lost, so it is tried a few times.
inline bool openShelfWithHotKey() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!pressKeys("shift+super+v")) return false;
        if (shelfHasKeyboard()) return true;
    }
    return false;
}

// Copies text to the CLIPBOARD (or another) selection as another program does. xclip stays in
// the background owning the selection and keeps the output it inherited, so that goes nowhere.
inline bool copyWithXclip(const QString& text, const QString& selection = QStringLiteral("clipboard")) {
    QProcess xclip;
    xclip.setStandardOutputFile(QProcess::nullDevice());
    xclip.setStandardErrorFile(QProcess::nullDevice());
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), selection, QStringLiteral("-i")});
    if (!xclip.waitForStarted(5000)) return false;
    xclip.write(text.toUtf8());
    xclip.closeWriteChannel();
    return xclip.waitForFinished(5000) && xclip.exitCode() == 0;
}

class HarbelleProcess {
public:
    // A later launch with copying only: no sheet and no shelf at launch.
    static constexpr const char* kCopyOnlySettings = R"({"hasLaunchedPemberlow": true, "pasteDirectly": false})";
    // A later launch with the default settings (direct paste on).
    static constexpr const char* kDefaultSettings = R"({"hasLaunchedPemberlow": true})";

    // A null `settingsJson` starts as a new user does: no settings file at all.
    explicit HarbelleProcess(const char* settingsJson = kCopyOnlySettings, const QStringList& arguments = {},
                             bool startNow = true)
        : root_(dir_.path()), arguments_(arguments) {
        QDir().mkpath(path(QStringLiteral("XDG_CONFIG_HOME")));
        if (settingsJson) {
            QFile settings(settingsFile());
            if (settings.open(QIODevice::WriteOnly)) settings.write(settingsJson);
        }
        if (startNow) start(arguments);
    }
    // Another launch on the folders of `first` (its settings and history), as a second start
    // by the same user.
    HarbelleProcess(const HarbelleProcess& first, const QStringList& arguments) : root_(first.root_) {
        start(arguments, QStringLiteral("-2"));
    }
    void start(const QStringList& arguments = {}, const QString& suffix = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            const QString folder = path(QString::fromLatin1(name));
            QDir().mkpath(folder);
            env.insert(QString::fromLatin1(name), folder);
        }
        if (QDir(path(QStringLiteral("home"))).exists()) env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        process_.setProcessEnvironment(env);
        process_.setStandardOutputFile(path(QStringLiteral("stdout") + suffix + QStringLiteral(".txt")));
        process_.setStandardErrorFile(path(QStringLiteral("stderr") + suffix + QStringLiteral(".txt")));
        process_.start(QStringLiteral(HARBELLE_BINARY), arguments);
    }
    // Gives the program a private HOME (used from the next start() on); returns its path.
    QString usePrivateHome() {
        QDir().mkpath(path(QStringLiteral("home")));
        return path(QStringLiteral("home"));
    }
    // A path inside the program's private folders.
    QString path(const QString& relative) const { return QDir(root_).filePath(relative); }
    ~HarbelleProcess() { stop(); }
    // Ends the program as a logout does (SIGTERM), killing it after `timeoutMs`; true when it
    // ended by itself in time.
    bool stop(int timeoutMs = 5000) {
        if (process_.state() == QProcess::NotRunning) return true;
        process_.terminate();
        if (process_.waitForFinished(timeoutMs)) return true;
        process_.kill();
        process_.waitForFinished(2000);
        return false;
    }
    // Starts the program again on the same folders, with the first launch's arguments.
    void restart() {
        stop();
        start(arguments_, QStringLiteral("-restarted"));
    }
    QString settingsFile() const { return path(QStringLiteral("XDG_CONFIG_HOME/com.harbelleapp.Harbelle.json")); }
    QByteArray settings() const {
        QFile file(settingsFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Start-up has built the store and registered the hot key (a program whose hot key is taken
    // or switched off is waited for a few seconds only).
    bool waitUntilRunning() {
        if (process_.state() == QProcess::Starting) process_.waitForStarted(10000);
        const bool built = QTest::qWaitFor(
            [&] { return QDir(path(QStringLiteral("XDG_DATA_HOME/Pemberlow"))).exists(); }, 10000);
        (void)QTest::qWaitFor(
            [&] {
                return process_.state() != QProcess::Running ||
                       runQuietly(QStringLiteral(HARBELLE_X11_PROBE), {QStringLiteral("held"), QStringLiteral("76")});
            },
            5000);
        return built && process_.state() == QProcess::Running;
    }
    QProcess& process() { return process_; }
    QString historyFile() const { return path(QStringLiteral("XDG_DATA_HOME/Pemberlow/history.json")); }
    QByteArray history() const {
        QFile file(historyFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The saved clips, newest first; none while the file is missing or cannot be read.
    std::vector<ClipItem> savedClips() const {
        const QByteArray bytes = history();
        if (bytes.isEmpty()) return {};
        try {
            return historycodec::decode(bytes.toStdString()).items;
        } catch (...) {
            return {};
        }
    }
    std::vector<std::string> savedTexts() const {
        std::vector<std::string> texts;
        for (auto& clip : savedClips()) texts.push_back(std::move(clip.text));
        return texts;
    }
    enum class Saved { anywhere, asNewest };
    // Waits until the history file holds a clip of exactly `text` (as its newest with asNewest).
    ::testing::AssertionResult waitUntilSaved(const QString& text, Saved where = Saved::anywhere,
                                              int timeoutMs = 5000) const {
        const std::string wanted = text.toStdString();
        const bool saved = QTest::qWaitFor(
            [&] {
                const auto texts = savedTexts();
                if (where == Saved::asNewest) return !texts.empty() && texts.front() == wanted;
                return std::find(texts.begin(), texts.end(), wanted) != texts.end();
            },
            timeoutMs);
        if (saved) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << '"' << wanted << "\" not saved"
                                             << (where == Saved::asNewest ? " as the newest clip" : "") << " within "
                                             << timeoutMs << " ms; history file:\n" << history().toStdString();
    }
    // Copies `text` in another program (xclip) and waits until this program has saved it.
    ::testing::AssertionResult copyAndWaitUntilSaved(const QString& text, Saved where = Saved::anywhere,
                                                     int timeoutMs = 5000) const {
        if (!copyWithXclip(text))
            return ::testing::AssertionFailure() << "xclip could not copy \"" << text.toStdString() << '"';
        return waitUntilSaved(text, where, timeoutMs);
    }
    // What the program wrote on standard output (its "[DirectPaste] " lines).
    QString output() const {
        QFile file(path(QStringLiteral("stdout.txt")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QString errorOutput() const {
        QFile file(path(QStringLiteral("stderr.txt")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QTemporaryDir dir_;
    QString root_;
    QStringList arguments_;
    QProcess process_;
};

}  // namespace harbelle::testing
