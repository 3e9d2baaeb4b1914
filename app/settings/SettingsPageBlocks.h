#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QString>

#include "platform/BundleInfo.h"

class QFrame;
class QLabel;
class QWidget;

namespace harbelle::settingsblocks {

QFont font(qreal pixelSize, QFont::Weight weight = QFont::Normal, bool rounded = false);
QColor secondaryColor();
QColor tertiaryColor();
QColor statusColor(const char* name);  // "green", "orange", "red"

// The heading above a card.
QLabel* sectionHeader(const QString& text);
// A row title (14, medium unless told otherwise).
QLabel* title(const QString& text, int pixelSize = 14, QFont::Weight weight = QFont::Medium);
// A wrapping caption in the secondary colour.
QLabel* caption(const QString& text);
void setLabelColor(QLabel* label, const QColor& color);
QFrame* divider();
// Title and caption on the leading side, the given controls trailing.
QWidget* settingRow(const QString& rowTitle, QLabel* rowCaption, const QList<QWidget*>& trailing);

// A control that matters only while another setting is on: disabled (so it ignores clicks)
// and drawn at 0.45 opacity while off. Its own value is left as it is.
void setDependentEnabled(QWidget* control, bool enabled);
constexpr double kDimmedOpacity = 0.45;

// Controls that draw their own focus (a style sheet took the style's frame away) draw it while
// `widget` holds a focus the keyboard gave it, as the style does for the others: a click shows
// none. Sets the Boolean property kKeyboardFocus, which their style sheets select on.
constexpr const char* kKeyboardFocus = "keyboardFocus";
void markKeyboardFocus(QWidget* widget);
// The colour of such a focus ring.
QColor focusRingColor();

// Inside `root`, the wheel only scrolls: over a picker, slider or spin box it scrolls the page
// around it (nothing, without one) and changes no value, and it gives them no focus. They
// change only by a deliberate click or, once focused, by keys. Covers controls added later too.
void letWheelOnlyScroll(QWidget* root);

// The short version of the program, or an em dash when the bundle has none as text.
QString appVersion(const BundleInfo& bundle);

}  // namespace harbelle::settingsblocks
