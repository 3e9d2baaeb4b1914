#pragma once

#include <QLineEdit>

namespace harbelle {

// The search field asks for its wide size while the user searches; the header may give it
// less on a narrow shelf, down to its minimum.
class SearchField : public QLineEdit {
public:
    explicit SearchField(QWidget* parent);
    void setPreferredWidth(int width);
    QSize sizeHint() const override;

private:
    int preferredWidth_ = 0;
};

}  // namespace harbelle
