#pragma once

#include <QAbstractButton>

namespace harbelle {

// A tile of a one-of-several choice (shelf edge, size preset): a small drawing, a label and
// an optional second line, outlined in the accent colour while selected.
class ChoiceTile : public QAbstractButton {
    Q_OBJECT
public:
    enum class Drawing { bottom, top, left, right, compact, medium, full };

    ChoiceTile(Drawing drawing, const QString& label, const QString& secondLine, QWidget* parent = nullptr);

    bool isSelected() const { return selected_; }
    void setSelected(bool selected);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Drawing drawing_;
    QString secondLine_;
    bool selected_ = false;
};

}  // namespace harbelle
