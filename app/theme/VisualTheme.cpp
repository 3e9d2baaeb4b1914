#include "theme/VisualTheme.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "theme/SymbolGlyph.h"

namespace harbelle {

const QColor& PemberlowTheme::selection() {
    static const QColor color = QColor::fromRgbF(0.12f, 0.55f, 1.0f, 1.0f);
    return color;
}

QColor VisualTheme::shelfBackground() { return QColor(0x17, 0x18, 0x1d); }
QColor VisualTheme::shelfBorder() { return QColor(255, 255, 255, 28); }
QColor VisualTheme::cardBackground() { return QColor(0x26, 0x28, 0x30); }
QColor VisualTheme::cardHoverBackground() { return QColor(0x2e, 0x31, 0x3a); }
QColor VisualTheme::cardBorder() { return QColor(255, 255, 255, 22); }
QColor VisualTheme::insetBackground() { return QColor(0x1a, 0x1b, 0x21); }
QColor VisualTheme::primaryText() { return QColor(0xf2, 0xf3, 0xf6); }
QColor VisualTheme::secondaryText() { return QColor(0xa3, 0xa7, 0xb2); }
QColor VisualTheme::tertiaryText() { return QColor(0x6f, 0x74, 0x80); }
QColor VisualTheme::favorite() { return QColor(0xff, 0xc5, 0x3d); }

QColor VisualTheme::kindColor(ClipKind kind) {
    switch (kind) {
    case ClipKind::text: return QColor(0x7a, 0xa2, 0xf7);
    case ClipKind::link: return QColor(0x2d, 0xd4, 0xbf);
    case ClipKind::image: return QColor(0xf4, 0x72, 0xb6);
    case ClipKind::file: return QColor(0xfb, 0xbf, 0x24);
    case ClipKind::code: return QColor(0xa7, 0x8b, 0xfa);
    case ClipKind::color: return QColor(0xfb, 0x92, 0x3c);
    }
    return secondaryText();
}

QIcon VisualTheme::kindIcon(ClipKind kind, int size) {
    return SymbolGlyph::icon(clipkind::symbol(kind), kindColor(kind), size, cardBackground());
}

QColor VisualTheme::toastColor(ToastTone tone) {
    switch (tone) {
    case ToastTone::success: return QColor(0x32, 0xd7, 0x4b);
    case ToastTone::info: return PemberlowTheme::selection();
    case ToastTone::error: return QColor(0xff, 0x9f, 0x0a);
    }
    return secondaryText();
}

std::string_view VisualTheme::toastSymbol(ToastTone tone) {
    switch (tone) {
    case ToastTone::success: return "checkmark.circle.fill";
    case ToastTone::info: return "info.circle.fill";
    case ToastTone::error: return "exclamationmark.triangle.fill";
    }
    return "info.circle.fill";
}

double VisualTheme::shelfBackgroundOpacity(double barTransparency) {
    if (!(barTransparency == barTransparency)) barTransparency = 0;  // NaN reads as opaque
    return std::max(0.15, 1.0 - barTransparency);
}

QColor VisualTheme::contrastingText(const QColor& background) {
    // Relative luminance with the sRGB curve; 0.179 splits black and white text evenly.
    auto channel = [](float c) {
        return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
    };
    const QColor c = background.toRgb();
    const float luminance = 0.2126f * channel(c.redF()) + 0.7152f * channel(c.greenF()) +
                            0.0722f * channel(c.blueF());
    return luminance > 0.179f ? QColor(0x14, 0x14, 0x18) : QColor(Qt::white);
}

QFont VisualTheme::uiFont(int pixelSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QFont VisualTheme::monospaceFont(int pixelSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setFamilies({font.family(), QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPixelSize(pixelSize);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QString VisualTheme::sheetStyleSheet() {
    const QString accent = PemberlowTheme::selection().name();
    return QStringLiteral(
               "QLabel { color: %1; background: transparent; }"
               "QLabel[role=\"secondary\"] { color: %2; }"
               "QPlainTextEdit, QTextEdit { background: %3; color: %1; border: 1px solid rgba(255,255,255,24);"
               "  border-radius: 10px; padding: 6px; selection-background-color: %4; }"
               "QPlainTextEdit:focus { border: 1px solid %4; }"
               "QPushButton { background: rgba(255,255,255,20); color: %1; border: 1px solid rgba(255,255,255,28);"
               "  border-radius: 8px; padding: 6px 14px; min-height: 18px; }"
               "QPushButton:hover { background: rgba(255,255,255,34); }"
               "QPushButton:disabled { color: %5; }"
               "QPushButton:default { background: %4; border: 1px solid %4; color: white; }"
               // The focus shows from the start, not only after a Tab: light on the dark sheet.
               "QPushButton:focus { border: 2px solid %1; padding: 5px 13px; }"
               "QCheckBox { border: 2px solid transparent; border-radius: 6px; padding: 2px 4px; }"
               "QCheckBox:focus { border-color: %1; }"
               "QPushButton[role=\"destructive\"] { color: #ff6b61; }"
               "QToolButton { background: transparent; border: none; border-radius: 6px; padding: 3px; }"
               "QToolButton:hover { background: rgba(255,255,255,26); }"
               "QScrollBar:vertical { background: transparent; width: 8px; }"
               "QScrollBar::handle:vertical { background: rgba(255,255,255,50); border-radius: 4px; min-height: 24px; }"
               "QScrollBar:horizontal { background: transparent; height: 8px; }"
               "QScrollBar::handle:horizontal { background: rgba(255,255,255,50); border-radius: 4px; min-width: 24px; }"
               "QScrollBar::add-line, QScrollBar::sub-line { height: 0; width: 0; }")
        .arg(primaryText().name(), secondaryText().name(), insetBackground().name(), accent, tertiaryText().name());
}

void VisualTheme::styleSheetCheckBox(QCheckBox* box) {
    // Palette roles, not a style sheet's "color", which would paint the tick light on the light box.
    QPalette colours = box->palette();
    colours.setColor(QPalette::WindowText, primaryText());
    colours.setColor(QPalette::Base, primaryText());
    colours.setColor(QPalette::Text, QColor(0x14, 0x14, 0x18));
    box->setPalette(colours);
}

std::optional<QColor> parseHexColor(std::string_view text) {
    auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    if (text.size() < 2 || text.front() != '#') return std::nullopt;
    std::string digits(text.substr(1));
    if (!std::all_of(digits.begin(), digits.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
        return std::nullopt;
    auto byteAt = [&](std::size_t i) { return std::stoi(digits.substr(i, 2), nullptr, 16); };
    switch (digits.size()) {
    case 3: {
        auto nibble = [&](std::size_t i) { return std::stoi(digits.substr(i, 1), nullptr, 16) * 17; };
        return QColor(nibble(0), nibble(1), nibble(2));
    }
    case 6: return QColor(byteAt(0), byteAt(2), byteAt(4));
    case 8: return QColor(byteAt(0), byteAt(2), byteAt(4), byteAt(6));
    default: return std::nullopt;
    }
}

}  // namespace harbelle
