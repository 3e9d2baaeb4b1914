#pragma once

// An outside program started by an X11 test (a clipboard owner such as xclip or the probe),
// stopped and killed by its own pid when the test ends.

#include <signal.h>

#include <QProcess>

#include "platform/Workspace.h"

namespace harbelle::testing {

struct OwnerProcess {
    QProcess process;
    OwnerProcess(const QString& program, const QStringList& arguments) {
        // xclip keeps whatever output it inherits: give it none, or ctest waits on it.
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(program, arguments);
        process.waitForStarted();
    }
    ~OwnerProcess() {
        if (process.state() == QProcess::NotRunning) return;
        signal(SIGCONT);
        process.kill();
        process.waitForFinished(2000);
    }
    ProcessID pid() const { return process.processId(); }
    // Only ever to the owner itself: a pid of 0 would signal our whole process group.
    bool signal(int number) const {
        const pid_t target = static_cast<pid_t>(process.processId());
        return process.state() == QProcess::Running && target > 0 && ::kill(target, number) == 0;
    }
};

}  // namespace harbelle::testing
