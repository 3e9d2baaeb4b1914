// The built program run as a child process on the offscreen platform, with private folders.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

class AppProcessTest : public ::testing::Test {
protected:
    QTemporaryDir home;

    QString path(const QString& relative) const { return home.filePath(relative); }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("HARBELLE_SYNC_BASE_URL"));
        for (const char* name : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            const QString folder = path(QString::fromLatin1(name));
            QDir().mkpath(folder);
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            env.insert(QString::fromLatin1(name), folder);
        }
        return env;
    }

    struct Run {
        int exitCode = -1;
        QString out;
        QString err;
    };

    Run run(const QStringList& arguments, int timeoutMs = 15000, bool withoutAnyDisplay = false) {
        QProcess process;
        QProcessEnvironment env = environment();
        if (withoutAnyDisplay) env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(HARBELLE_BINARY), arguments);
        EXPECT_TRUE(process.waitForStarted(5000));
        const bool finished = process.waitForFinished(timeoutMs);
        EXPECT_TRUE(finished) << "the program did not quit: " << arguments.join(' ').toStdString();
        if (!finished) {
            process.kill();
            process.waitForFinished(2000);
        }
        Run result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    void writeSettings(const QByteArray& json) {
        environment();  // makes the folders
        QFile file(path(QStringLiteral("XDG_CONFIG_HOME/com.harbelleapp.Harbelle.json")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json);
    }

    QString historyFile() const { return path(QStringLiteral("XDG_DATA_HOME/Pemberlow/history.json")); }
};

TEST_F(AppProcessTest, PermissionReportPrintsTwoLinesAndBuildsNothing) {
    const Run result = run({QStringLiteral("--diagnose-permissions"), QStringLiteral("--demo"), QStringLiteral("--show")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, QStringLiteral("AX_TRUSTED=false\nPOST_EVENT_ALLOWED=false\n"));
    EXPECT_FALSE(QDir(path(QStringLiteral("XDG_DATA_HOME/Pemberlow"))).exists()) << "no store was built";
}

TEST_F(AppProcessTest, WithoutAnyDisplayReportsStillWorkAndAPlainStartExplainsItself) {
    // Qt alone would abort here before the program could print anything.
    const Run report = run({QStringLiteral("--diagnose-permissions")}, 15000, true);
    EXPECT_EQ(report.exitCode, 0);
    EXPECT_EQ(report.out, QStringLiteral("AX_TRUSTED=false\nPOST_EVENT_ALLOWED=false\n"));

    const Run start = run({}, 15000, true);
    EXPECT_EQ(start.exitCode, 1);
    EXPECT_TRUE(start.err.contains(QStringLiteral("needs a graphical session"))) << start.err.toStdString();
}

TEST_F(AppProcessTest, LoginItemReportPrintsTheStatusAndExitsWithItsCode) {
    Run result = run({QStringLiteral("--refresh-login-item-and-exit")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, QStringLiteral("LOGIN_ITEM_REFRESHED=true STATUS=0\n"));

    writeSettings(R"({"launchAtLoginRequested": true})");
    result = run({QStringLiteral("--refresh-login-item-and-exit")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, QStringLiteral("LOGIN_ITEM_REFRESHED=true STATUS=1\n"));
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("XDG_CONFIG_HOME/autostart/com.harbelleapp.Harbelle.desktop"))));

    // An autostart "folder" that is a file: the registration fails.
    QFile::remove(path(QStringLiteral("XDG_CONFIG_HOME/autostart/com.harbelleapp.Harbelle.desktop")));
    QDir().rmdir(path(QStringLiteral("XDG_CONFIG_HOME/autostart")));
    QFile blocker(path(QStringLiteral("XDG_CONFIG_HOME/autostart")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    result = run({QStringLiteral("--refresh-login-item-and-exit")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.out.isEmpty());
    EXPECT_TRUE(result.err.startsWith(QStringLiteral("LOGIN_ITEM_REFRESHED=false ERROR="))) << result.err.toStdString();
}

TEST_F(AppProcessTest, SnapshotWritesThePictureHeadlessAndQuits) {
    const QString picture = path(QStringLiteral("shelf.png"));
    const Run result = run({QStringLiteral("--demo"), QStringLiteral("--snapshot"), picture});
    EXPECT_EQ(result.exitCode, 0);
    const QImage image(picture);
    ASSERT_FALSE(image.isNull());
    EXPECT_GT(image.width(), 300);
    EXPECT_FALSE(QFile::exists(historyFile())) << "demo mode writes no history";
}

TEST_F(AppProcessTest, TerminationSignalsWriteTheHistoryThroughTheQuitPath) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        QDir(path(QStringLiteral("XDG_DATA_HOME/Pemberlow"))).removeRecursively();
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(QStringLiteral(HARBELLE_BINARY), {});
        ASSERT_TRUE(process.waitForStarted(5000));
        // The payload folder appears as the history starts up, after the signal handlers are in
        // place (the data folder itself comes earlier, with the single-instance lock).
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return QDir(path(QStringLiteral("XDG_DATA_HOME/Pemberlow/Payloads"))).exists(); }, 10000));
        ASSERT_FALSE(QFile::exists(historyFile()));
        const auto pid = static_cast<pid_t>(process.processId());
        ASSERT_GT(pid, 0) << "the program is gone already";  // never signal our own group
        ::kill(pid, signal);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "the signal did not kill it";
        EXPECT_EQ(process.exitCode(), 0);
        EXPECT_TRUE(QFile::exists(historyFile()));
    }
}

}  // namespace
