#pragma once

// The test field program (helpers/textfield.cpp) and small desktop helpers for the X11 tests.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/types.h>

namespace harbelle::testing {

// Runs a command and waits for it, its output discarded.
inline bool runQuietly(const QString& program, const QStringList& arguments, int timeoutMs = 5000) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The GTK 3 field (helpers/gtk_field.py): GTK applications expose themselves to AT-SPI on
// their own and open their own connection to the accessibility bus.
inline QStringList gtkFieldCommand() {
    // Debian's own interpreter: python3-gi is installed for it, not for others on the PATH.
    return {QStringLiteral("/usr/bin/python3"), QStringLiteral(HARBELLE_GTK_FIELD)};
}

class TextFieldProcess {
public:
    // `command` starts another field program with the same interface (program, then its own
    // first arguments); by default the Qt field.
    explicit TextFieldProcess(const QStringList& extraArguments = {}, const QStringList& command = {})
        : lines_(extraArguments.contains(QStringLiteral("--second-window")) ? 2 : 1) {
        outPath_ = dir_.filePath(QStringLiteral("content.txt"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        environment.insert(QStringLiteral("QT_ACCESSIBILITY"), QStringLiteral("1"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process_.setProcessEnvironment(environment);
        process_.setStandardErrorFile(QProcess::nullDevice());
        const QStringList arguments = QStringList{QStringLiteral("--out"), outPath_} + extraArguments;
        if (command.isEmpty()) {
            process_.start(QStringLiteral(HARBELLE_TEXTFIELD), arguments);
        } else {
            process_.start(command.first(), command.mid(1) + arguments);
        }
    }
    ~TextFieldProcess() {
        if (process_.state() == QProcess::NotRunning) return;
        ::kill(pid_t(process_.processId()), SIGCONT);
        process_.kill();
        process_.waitForFinished(3000);
    }

    // Waits for the window; false when it did not show within the time.
    bool waitForWindow(int timeoutMs = 10000) {
        QByteArray output;
        const bool shown = QTest::qWaitFor(
            [&] {
                output += process_.readAllStandardOutput();
                return output.count('\n') >= lines_;
            },
            timeoutMs);
        if (!shown) return false;
        const QList<QByteArray> lines = output.split('\n');
        if (!lines.first().startsWith("WINDOW ")) return false;
        window_ = lines.first().mid(7).trimmed();
        if (lines_ > 1 && lines.at(1).startsWith("SECOND ")) second_ = lines.at(1).mid(7).trimmed();
        return lines_ == 1 || !second_.isEmpty();
    }
    // Makes the field's window the active one and waits until it is.
    bool activate() { return activateWindow(window_); }
    // The same for the second window (--second-window), which holds no field.
    bool activateSecond() { return activateWindow(second_); }
    QString window() const { return QString::fromLatin1(window_); }
    QString secondWindow() const { return QString::fromLatin1(second_); }
    QString content() const {
        QFile file(outPath_);
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(file.readAll());
    }
    bool waitForContent(const QString& expected, int timeoutMs = 5000) const {
        return QTest::qWaitFor([&] { return content() == expected; }, timeoutMs);
    }
    std::int64_t pid() const { return process_.processId(); }
    void stop() { ::kill(pid_t(pid()), SIGSTOP); }
    void resume() { ::kill(pid_t(pid()), SIGCONT); }

private:
    // A window the window manager has only just mapped can refuse for a moment: tried until it
    // is the active one.
    static bool activateWindow(const QByteArray& window) {
        return QTest::qWaitFor(
            [&] {
                return runQuietly(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QStringLiteral("--sync"),
                                                              QString::fromLatin1(window)});
            },
            10000);
    }

    int lines_ = 1;
    QByteArray second_;
    QTemporaryDir dir_;
    QString outPath_;
    QProcess process_;
    QByteArray window_;
};

}  // namespace harbelle::testing
