#pragma once

#include <QWidget>

namespace harbelle {

// The shelf's rounded backdrop. Its opacity follows the transparency setting; the window
// that hosts it must be translucent (Qt::WA_TranslucentBackground) for the desktop to show.
class TranslucentBackground : public QWidget {
    Q_OBJECT
public:
    explicit TranslucentBackground(QWidget* parent = nullptr);

    double barTransparency() const { return barTransparency_; }
    void setBarTransparency(double transparency);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double barTransparency_ = 0.18;
};

}  // namespace harbelle
