#pragma once

#include <QString>
#include <QWidget>
#include <vector>

class QLabel;

namespace harbelle {

class HistoryStore;

// A read-only card of the program's keys; the first row is the global shortcut in force.
class ShortcutsPage : public QWidget {
    Q_OBJECT
public:
    explicit ShortcutsPage(HistoryStore& store, QWidget* parent = nullptr);
    void refresh();

    // The note under the card for the label of the shortcut in force.
    static QString noteFor(const QString& globalShortcutLabel);
    // The keys shown for the label of the shortcut in force.
    static QString keysFor(const QString& globalShortcutLabel);

    QLabel* globalKeys() const { return globalKeys_; }
    QLabel* note() const { return note_; }

private:
    HistoryStore& store_;
    QLabel* globalKeys_ = nullptr;
    QLabel* note_ = nullptr;
    struct VerbRow {
        QLabel* label;
        QString pasteTitle;
        QString copyTitle;
    };
    std::vector<VerbRow> verbRows_;
};

}  // namespace harbelle
