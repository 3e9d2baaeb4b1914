#include "settings/SettingsPageBlocks.h"

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QScrollBar>
#include <QEvent>
#include <QFocusEvent>
#include <QStyle>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QScreen>
#include <QVBoxLayout>
#include <cmath>

namespace harbelle::settingsblocks {

namespace {
class KeyboardFocusMarker final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::FocusIn && event->type() != QEvent::FocusOut) return false;
        auto* widget = static_cast<QWidget*>(watched);
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        const bool keyboard = event->type() == QEvent::FocusIn &&
                              (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason);
        if (widget->property(kKeyboardFocus).toBool() != keyboard) {
            widget->setProperty(kKeyboardFocus, keyboard);
            widget->style()->unpolish(widget);
            widget->style()->polish(widget);
            widget->update();
        }
        return false;
    }
};

// Sees the program's events before any widget does: a value control takes the wheel in its
// own handler, and the application hands it the focus for a wheel before that.
class WheelScrollsOnly final : public QObject {
public:
    explicit WheelScrollsOnly(QWidget* root) : QObject(root), root_(root) {
        qApp->installEventFilter(this);
        for (QWidget* control : root->findChildren<QWidget*>())
            if (isValueControl(control) && control->focusPolicy() == Qt::WheelFocus)
                control->setFocusPolicy(Qt::StrongFocus);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::Wheel && type != QEvent::Polish) return false;
        auto* control = qobject_cast<QWidget*>(watched);
        if (!control || !isValueControl(control) || !root_->isAncestorOf(control)) return false;
        if (type == QEvent::Polish) {
            if (control->focusPolicy() == Qt::WheelFocus) control->setFocusPolicy(Qt::StrongFocus);
            return false;
        }
        for (QWidget* up = control->parentWidget(); up; up = up->parentWidget()) {
            if (auto* area = qobject_cast<QAbstractScrollArea*>(up)) {
                QCoreApplication::sendEvent(area->viewport(), event);
                break;
            }
            if (up->isWindow()) break;
        }
        return true;
    }

private:
    static bool isValueControl(const QWidget* widget) {
        if (qobject_cast<const QScrollBar*>(widget)) return false;
        return qobject_cast<const QComboBox*>(widget) || qobject_cast<const QAbstractSlider*>(widget) ||
               qobject_cast<const QAbstractSpinBox*>(widget);
    }

    QWidget* root_;
};
}  // namespace

void letWheelOnlyScroll(QWidget* root) { new WheelScrollsOnly(root); }

void markKeyboardFocus(QWidget* widget) {
    widget->setProperty(kKeyboardFocus, false);
    widget->installEventFilter(new KeyboardFocusMarker(widget));
}

QColor focusRingColor() { return QApplication::palette().color(QPalette::WindowText); }

QFont font(qreal pixelSize, QFont::Weight weight, bool rounded) {
    QFont f = QApplication::font();
    if (pixelSize == std::floor(pixelSize)) {
        f.setPixelSize(static_cast<int>(pixelSize));
    } else {
        // Pixel sizes are whole numbers; a half size goes through points at the screen's resolution.
        const QScreen* screen = QGuiApplication::primaryScreen();
        const qreal dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
        f.setPointSizeF(pixelSize * 72.0 / dpi);
    }
    f.setWeight(weight);
    if (rounded) f.setStyleHint(QFont::SansSerif);
    return f;
}

QColor secondaryColor() {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(0.62);
    return c;
}

QColor tertiaryColor() {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(0.42);
    return c;
}

QColor statusColor(const char* name) {
    const QString n = QString::fromLatin1(name);
    if (n == QLatin1String("green")) return QColor(0x28, 0xa7, 0x45);
    if (n == QLatin1String("orange")) return QColor(0xf0, 0x8a, 0x00);
    return QColor(0xe0, 0x32, 0x2e);
}

void setLabelColor(QLabel* label, const QColor& color) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    label->setPalette(p);
}

QLabel* sectionHeader(const QString& text) {
    auto* label = new QLabel(text);
    label->setFont(font(15, QFont::DemiBold));
    return label;
}

QLabel* title(const QString& text, int pixelSize, QFont::Weight weight) {
    auto* label = new QLabel(text);
    label->setFont(font(pixelSize, weight));
    return label;
}

QLabel* caption(const QString& text) {
    auto* label = new QLabel(text);
    label->setFont(font(11));
    label->setWordWrap(true);
    setLabelColor(label, secondaryColor());
    return label;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    QPalette p = line->palette();
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(0.12);
    p.setColor(QPalette::WindowText, c);
    line->setPalette(p);
    return line;
}

QWidget* settingRow(const QString& rowTitle, QLabel* rowCaption, const QList<QWidget*>& trailing) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    texts->addWidget(title(rowTitle));
    if (rowCaption) texts->addWidget(rowCaption);
    layout->addLayout(texts, 1);
    for (QWidget* control : trailing) layout->addWidget(control, 0, Qt::AlignVCenter);
    return row;
}

void setDependentEnabled(QWidget* control, bool enabled) {
    control->setEnabled(enabled);
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(control->graphicsEffect());
    if (!effect) {
        // Disabled it ignores clicks and keys but keeps its own colours, for the children too:
        // the opacity alone dims it (the style's disabled grey on top would leave it unreadable).
        QPalette colours = control->palette();
        for (int role = 0; role < QPalette::NColorRoles; ++role) {
            const auto r = static_cast<QPalette::ColorRole>(role);
            colours.setColor(QPalette::Disabled, r, colours.color(QPalette::Active, r));
        }
        control->setPalette(colours);
        effect = new QGraphicsOpacityEffect(control);
        control->setGraphicsEffect(effect);
    }
    effect->setOpacity(enabled ? 1.0 : kDimmedOpacity);
}

QString appVersion(const BundleInfo& bundle) {
    if (auto version = bundle.string("CFBundleShortVersionString")) return QString::fromStdString(*version);
    return QStringLiteral("\u2014");
}

}  // namespace harbelle::settingsblocks
