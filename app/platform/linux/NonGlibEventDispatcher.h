#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace harbelle {

// Keeps Qt's GUI thread off GLib's default main context. libatspi attaches the connection it
// opens to each accessible application there, whatever context it was given, and its handlers
// must run only on the AT-SPI worker: a GUI thread dispatching them can deadlock inside
// libdbus. Qt reads QT_NO_GLIB when the application object is made; hold this object across
// that, then call restore() so child processes do not inherit the choice.
class NonGlibEventDispatcher {
public:
    NonGlibEventDispatcher() : wasSet_(qEnvironmentVariableIsSet("QT_NO_GLIB")), previous_(qgetenv("QT_NO_GLIB")) {
        qputenv("QT_NO_GLIB", "1");
    }
    ~NonGlibEventDispatcher() { restore(); }
    NonGlibEventDispatcher(const NonGlibEventDispatcher&) = delete;
    NonGlibEventDispatcher& operator=(const NonGlibEventDispatcher&) = delete;

    void restore() {
        if (restored_) return;
        restored_ = true;
        if (wasSet_) {
            qputenv("QT_NO_GLIB", previous_);
        } else {
            qunsetenv("QT_NO_GLIB");
        }
    }

private:
    bool wasSet_;
    QByteArray previous_;
    bool restored_ = false;
};

}  // namespace harbelle
