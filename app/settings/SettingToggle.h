#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;

namespace harbelle {

// A yes/no setting: title, one wrapping sentence under it and a switch on the trailing side.
// Only the user's change (a click, a key, a screen reader's Toggle) is reported; setOn()
// shows a value without reporting it.
class SettingToggle : public QWidget {
    Q_OBJECT
public:
    SettingToggle(const QString& title, const QString& subtitle, QWidget* parent = nullptr);

    bool isOn() const;
    void setOn(bool on);
    QCheckBox* control() const { return switch_; }
    QLabel* subtitleLabel() const { return subtitle_; }

signals:
    void toggledByUser(bool on);

private:
    QLabel* subtitle_;
    QCheckBox* switch_;
};

}  // namespace harbelle
