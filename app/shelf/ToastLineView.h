#pragma once

#include <QWidget>
#include <optional>

#include "history/Toast.h"

namespace harbelle {

// The shelf's one transient message line: a pill holding the tone's symbol and the message.
// Where the shelf leaves it less than one line's width, the message wraps and the pill grows
// down, so that it is read whole. It hides itself while there is no toast; clearing it on time
// is the store's business.
class ToastLineView : public QWidget {
    Q_OBJECT
public:
    explicit ToastLineView(QWidget* parent = nullptr);

    void setToast(const std::optional<Toast>& toast);
    const std::optional<Toast>& toast() const { return toast_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<Toast> toast_;
};

}  // namespace harbelle
