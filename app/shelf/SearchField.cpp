#include "shelf/SearchField.h"

#include <QProxyStyle>

#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

// The clear button's mark is drawn as a glyph. The style's own is a picture file, and reading
// one loads every image-format plugin with its libraries (over a megabyte resident for the
// life of the program), which a history of text never needs.
class ClearMarkStyle final : public QProxyStyle {
public:
    QIcon standardIcon(StandardPixmap which, const QStyleOption* option, const QWidget* widget) const override {
        if (which == SP_LineEditClearButton)
            return SymbolGlyph::icon("xmark.circle.fill", VisualTheme::tertiaryText(), 16);
        return QProxyStyle::standardIcon(which, option, widget);
    }
};

}  // namespace

SearchField::SearchField(QWidget* parent) : QLineEdit(parent) {
    auto* style = new ClearMarkStyle;
    style->setParent(this);
    setStyle(style);
}

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
