#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>
#include <optional>
#include <string_view>

#include "history/ClipKind.h"
#include "history/Toast.h"

class QCheckBox;

namespace harbelle {

// The application's accent.
struct PemberlowTheme {
    // sRGB (0.12, 0.55, 1.0), made once on first use.
    static const QColor& selection();
};

// Colours, fonts and metrics shared by the shelf's views. The shelf is a dark, translucent
// surface; cards sit on it as lighter rounded tiles.
struct VisualTheme {
    static QColor shelfBackground();       // opaque base, see shelfBackgroundOpacity
    static QColor shelfBorder();
    static QColor cardBackground();
    static QColor cardHoverBackground();
    static QColor cardBorder();
    static QColor insetBackground();       // code blocks and image placeholders
    static QColor primaryText();
    static QColor secondaryText();
    static QColor tertiaryText();
    static QColor favorite();
    static QColor kindColor(ClipKind kind);
    // The kind's symbol in its colour, for menus and filter buttons.
    static QIcon kindIcon(ClipKind kind, int size = 16);
    static QColor toastColor(ToastTone tone);
    static std::string_view toastSymbol(ToastTone tone);

    // Opacity of the shelf's background for a transparency setting: one minus the
    // transparency, never below 0.15.
    static double shelfBackgroundOpacity(double barTransparency);

    // Black or white, whichever reads better on `background`.
    static QColor contrastingText(const QColor& background);

    // Fonts in pixel sizes so cards look the same at every screen resolution setting.
    static QFont uiFont(int pixelSize, QFont::Weight weight = QFont::Normal);
    static QFont monospaceFont(int pixelSize);

    // Style of the standard widgets (text areas, buttons) inside the shelf's sheets.
    static QString sheetStyleSheet();
    // A check box on a sheet: its label in the primary text colour, its box light with a dark
    // tick, so that a ticked box reads as on against the dark sheet.
    static void styleSheetCheckBox(QCheckBox* box);

    static constexpr qreal cardCornerRadius = 14;
    static constexpr qreal sheetCornerRadius = 16;
    static constexpr qreal shelfCornerRadius = 18;
};

// "#RGB", "#RRGGBB" or "#RRGGBBAA" (white space around it ignored) as a colour.
std::optional<QColor> parseHexColor(std::string_view text);

}  // namespace harbelle
