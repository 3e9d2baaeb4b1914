#pragma once

#include <QObject>
#include <QString>

namespace harbelle {

// Posted when the shelf opens and on Ctrl+F: the shelf's search field expands and takes the
// keyboard focus.
inline constexpr const char* pemberlowFocusSearch = "PemberlowFocusSearch";

// The application's default notification centre: named notifications without object or
// payload, so that a poster and an observer need not know each other. Main thread only.
class NotificationCenter : public QObject {
    Q_OBJECT
public:
    static NotificationCenter& defaultCenter();

    void post(const QString& name) { emit posted(name); }

signals:
    void posted(const QString& name);
};

}  // namespace harbelle
