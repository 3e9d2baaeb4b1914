#pragma once

#include <QFrame>

class QVBoxLayout;

namespace harbelle {

// The rounded, faintly tinted card that holds the rows of a settings page. Tint and hairline
// come from the palette's text colour, so they follow light and dark themes by themselves.
class SettingsCard : public QFrame {
    Q_OBJECT
public:
    explicit SettingsCard(int spacing = 14, QWidget* parent = nullptr);
    QVBoxLayout* content() const { return content_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* content_;
};

}  // namespace harbelle
