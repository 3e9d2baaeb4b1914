#include "shelf/SearchField.h"

namespace harbelle {

void SearchField::setPreferredWidth(int width) {
    if (width == preferredWidth_) return;
    preferredWidth_ = width;
    updateGeometry();
}

QSize SearchField::sizeHint() const {
    const QSize base = QLineEdit::sizeHint();
    return preferredWidth_ > 0 ? QSize(preferredWidth_, base.height()) : base;
}

}  // namespace harbelle
