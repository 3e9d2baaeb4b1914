#include "shelf/PermissionSetupView.h"

#include <QCheckBox>
#include <QFrame>
#include <QHideEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "history/DirectPasteState.h"
#include "history/GlobalShortcutKeys.h"
#include "history/HistoryStore.h"
#include "shelf/ShelfSheet.h"
#include "theme/AppMark.h"
#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

const QColor kGranted(52, 199, 89);
const QColor kMissing(255, 149, 0);

constexpr const char* kAccessibilitySubtitle = "Restore the previously focused app and text input.";
// The key-event permission is the X server's XTest extension: present or not, nobody grants it.
constexpr const char* kEventPostingPresent = "The X server's XTest extension provides it; there is nothing to grant.";
constexpr const char* kEventPostingAbsent = PermissionSetupView::kPendingStatusWithoutKeyEvents;

QString text(const char* value) { return QString::fromUtf8(value); }

QFrame* makeCard(QWidget* parent) {
    auto* card = new QFrame(parent);
    card->setObjectName(QStringLiteral("sheetCard"));
    card->setStyleSheet(QStringLiteral("QFrame#sheetCard { background: rgba(255,255,255,11);"
                                       " border: 1px solid rgba(255,255,255,18); border-radius: 16px; }"));
    return card;
}

QFrame* makeDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background: rgba(255,255,255,22); border: none;"));
    return line;
}

QLabel* makeSymbol(const char* name, const QColor& color, int size, QWidget* parent) {
    auto* symbol = new QLabel(parent);
    symbol->setFixedWidth(30);
    symbol->setAlignment(Qt::AlignCenter);
    symbol->setPixmap(SymbolGlyph::icon(name, color, size).pixmap(size, size));
    return symbol;
}

void paintBadge(QLabel* badge, const QString& value, const QColor& color) {
    badge->setText(value);
    badge->setStyleSheet(QStringLiteral("color: %1;").arg(color.name()));
}

}  // namespace

PermissionSetupView::PermissionSetupView(HistoryStore& store, const ShelfUpdateChoice& updates, QWidget* parent)
    : QWidget(parent), store_(store), updates_(updates) {
    // Tight enough that the whole sheet, update card included, fits a 1280x800 screen unscrolled.
    QVBoxLayout* column = makeScrollingSheetColumn(this, 0);
    column->setContentsMargins(22, 18, 22, 18);
    column->setSpacing(12);
    QWidget* content = column->parentWidget();

    column->addWidget(new AppMark(52, content), 0, Qt::AlignHCenter);

    auto* header = new QVBoxLayout;
    header->setSpacing(4);
    auto* title = makeSheetText(text(kTitle), VisualTheme::uiFont(26, QFont::Bold), false, content);
    title->setAlignment(Qt::AlignHCenter);
    header->addWidget(title);
    message_ = makeSheetText(QString(), VisualTheme::uiFont(14), true, content);
    message_->setAlignment(Qt::AlignHCenter);
    header->addWidget(message_);
    column->addLayout(header);

    auto* card = makeCard(content);
    auto* cardColumn = new QVBoxLayout(card);
    cardColumn->setContentsMargins(0, 0, 0, 0);
    cardColumn->setSpacing(0);
    {
        auto* history = new QWidget(card);
        auto* row = new QHBoxLayout(history);
        row->setContentsMargins(14, 10, 14, 10);
        row->setSpacing(12);
        row->addWidget(makeSymbol("clock.arrow.circlepath", PemberlowTheme::selection(), 23, history));
        auto* texts = new QVBoxLayout;
        texts->setSpacing(3);
        texts->addWidget(makeSheetText(QStringLiteral("Clipboard history"), VisualTheme::uiFont(14, QFont::DemiBold), false, history));
        texts->addWidget(makeSheetText(
            QStringLiteral("New copies are saved locally; Harbelle does not upload clipboard contents."),
            VisualTheme::uiFont(11), true, history));
        row->addLayout(texts, 1);
        auto* local = new QLabel(QStringLiteral("Local"), history);
        local->setFont(VisualTheme::uiFont(12, QFont::DemiBold));
        local->setStyleSheet(QStringLiteral("color: %1;").arg(PemberlowTheme::selection().name()));
        row->addWidget(local);
        cardColumn->addWidget(history);
    }
    auto addDivider = [&] {
        auto* inset = new QHBoxLayout;
        inset->setContentsMargins(50, 0, 0, 0);
        inset->addWidget(makeDivider(card));
        cardColumn->addLayout(inset);
    };
    addDivider();
    cardColumn->addWidget(makeRow(QStringLiteral("Accessibility"), text(kAccessibilitySubtitle), &rows_[0], card));
    addDivider();
    cardColumn->addWidget(makeRow(QStringLiteral("Paste-event fallback"), QString(), &rows_[1], card));
    column->addWidget(card);

    {
        auto* note = new QHBoxLayout;
        note->setSpacing(8);
        note->addWidget(makeSymbol("keyboard.badge.ellipsis", VisualTheme::secondaryText(), 16, content), 0, Qt::AlignTop);
        inputNote_ = makeSheetText(QString(), VisualTheme::uiFont(11), true, content);
        note->addWidget(inputNote_, 1);
        column->addLayout(note);
    }

    updateCard_ = makeCard(content);
    {
        auto* updateColumn = new QVBoxLayout(updateCard_);
        updateColumn->setContentsMargins(14, 10, 14, 10);
        updateColumn->setSpacing(4);
        updateToggle_ = new QCheckBox(QStringLiteral("Automatically check for signed updates"), updateCard_);
        updateToggle_->setFont(VisualTheme::uiFont(14, QFont::DemiBold));
        VisualTheme::styleSheetCheckBox(updateToggle_);
        connect(updateToggle_, &QCheckBox::clicked, this, [this](bool checked) {
            // Takes effect now, whether or not the sheet is finished later.
            if (updates_.setAutomaticallyChecks) updates_.setAutomaticallyChecks(checked);
            refresh();
        });
        updateColumn->addWidget(updateToggle_);
        updateColumn->addWidget(makeSheetText(QStringLiteral("This uses Harbelle's signed HTTPS update feed. Automatic "
                                                        "downloads are a separate opt-in in Settings."),
                                         VisualTheme::uiFont(11), true, updateCard_));
    }
    column->addWidget(updateCard_);

    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(8);
    continue_ = new QPushButton(text(kContinueTitle), content);
    continue_->setDefault(true);
    connect(continue_, &QPushButton::clicked, this, &PermissionSetupView::continueAndReturn);
    buttons->addWidget(continue_, 0, Qt::AlignHCenter);
    // Outside the block below: it comes and goes on its own, where nothing could be granted.
    request_ = new QPushButton(text(kRequestTitle), content);
    request_->setDefault(true);
    connect(request_, &QPushButton::clicked, this, [this] {
        store_.requestDirectPasteAccess();
    });
    buttons->addWidget(request_, 0, Qt::AlignHCenter);
    pendingButtons_ = new QWidget(content);
    {
        auto* pending = new QVBoxLayout(pendingButtons_);
        pending->setContentsMargins(0, 0, 0, 0);
        pending->setSpacing(8);
        auto* pair = new QHBoxLayout;
        pair->setSpacing(10);
        pair->addStretch(1);
        auto* checkAgain = new QPushButton(text(kCheckAgainTitle), pendingButtons_);
        connect(checkAgain, &QPushButton::clicked, this, [this] {
            store_.refreshDirectPasteAccess();
        });
        auto* openSettings = new QPushButton(text(kOpenSettingsTitle), pendingButtons_);
        connect(openSettings, &QPushButton::clicked, this, [this] {
            store_.openAccessibilitySettings();
        });
        pair->addWidget(checkAgain);
        pair->addWidget(openSettings);
        pair->addStretch(1);
        pending->addLayout(pair);
        auto* copyOnly = new QPushButton(text(kCopyOnlyTitle), pendingButtons_);
        copyOnly->setFlat(true);
        copyOnly->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; color: %1; }")
                                    .arg(VisualTheme::secondaryText().name()));
        connect(copyOnly, &QPushButton::clicked, this, &PermissionSetupView::useCopyOnlyMode);
        pending->addWidget(copyOnly, 0, Qt::AlignHCenter);
    }
    buttons->addWidget(pendingButtons_);
    column->addLayout(buttons);

    status_ = makeSheetText(QString(), VisualTheme::uiFont(11), false, content);
    status_->setAlignment(Qt::AlignHCenter);
    column->addWidget(status_);
    column->addStretch(1);

    connect(&store_, &HistoryStore::accessibilityAccessGrantedChanged, this, &PermissionSetupView::refresh);
    connect(&store_, &HistoryStore::eventPostingAccessGrantedChanged, this, &PermissionSetupView::refresh);
    connect(&store_, &HistoryStore::globalShortcutLabelChanged, this, &PermissionSetupView::refresh);
    connect(&store_, &HistoryStore::accessibilityBusAvailableChanged, this, &PermissionSetupView::refresh);
    connect(&store_, &HistoryStore::pasteUsesSystemShortcutChanged, this, &PermissionSetupView::refresh);
    shownContinue_ = !(accessGranted() || directPasteImpossible(store_));  // the first refresh places the focus
    refresh();
}

QWidget* PermissionSetupView::makeRow(const QString& title, const QString& subtitle, Row* row, QWidget* parent) {
    auto* widget = new QWidget(parent);
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(14, 10, 14, 10);
    layout->setSpacing(12);
    row->symbol = new QLabel(widget);
    row->symbol->setFixedWidth(30);
    row->symbol->setAlignment(Qt::AlignCenter);
    layout->addWidget(row->symbol);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    row->title = makeSheetText(title, VisualTheme::uiFont(14, QFont::DemiBold), false, widget);
    texts->addWidget(row->title);
    row->caption = makeSheetText(subtitle, VisualTheme::uiFont(11), true, widget);
    texts->addWidget(row->caption);
    layout->addLayout(texts, 1);
    row->badge = new QLabel(widget);
    row->badge->setFont(VisualTheme::uiFont(12, QFont::DemiBold));
    layout->addWidget(row->badge);
    return widget;
}

void PermissionSetupView::setRowState(Row& row, bool granted) {
    const QColor& color = granted ? kGranted : kMissing;
    const char* symbol = granted ? "checkmark.circle.fill" : "exclamationmark.circle.fill";
    row.symbol->setPixmap(SymbolGlyph::icon(symbol, color, 24).pixmap(24, 24));
    paintBadge(row.badge, granted ? QStringLiteral("Allowed") : QStringLiteral("Required"), color);
}

QString PermissionSetupView::readyStatus(const QString& keys) {
    if (keys.isEmpty())
        return QStringLiteral("Ready. After Continue, focus an input, click Harbelle's tray icon, and click one saved card.");
    return QStringLiteral("Ready. After Continue, focus an input, press %1, and click one saved card.").arg(keys);
}

QString PermissionSetupView::inputNote(const QString& keys) {
    const QString registered = keys.isEmpty() ? QStringLiteral("Harbelle registers no shortcut")
                                               : QStringLiteral("Harbelle registers only its %1 shortcut").arg(keys);
    return QStringLiteral("No keyboard monitoring is needed or requested. %1; it does not listen to what you type.")
        .arg(registered);
}

QString PermissionSetupView::eventPostingSubtitle(bool pasteUsesSystemShortcut) {
    if (pasteUsesSystemShortcut) return QStringLiteral("Sends Ctrl+V for every clip (a terminal gets its own paste keys).");
    return QStringLiteral("Sends Ctrl+V only for images and files, and where an input does not take inserted text.");
}

QString PermissionSetupView::message(bool pasteUsesSystemShortcut) {
    if (pasteUsesSystemShortcut)
        return QStringLiteral("Accessibility lets Harbelle return to the exact input you were using and restore its "
                              "focus; Ctrl+V then pastes the card you click. Clipboard contents stay on this computer.");
    return QStringLiteral("Accessibility lets Harbelle return to the exact input you were using, restore its focus, "
                          "and insert the card you click. Clipboard contents stay on this computer.");
}

const char* PermissionSetupView::pendingStatus() const {
    if (!store_.accessibilityBusAvailable()) return kPendingStatusWithoutBus;
    if (!store_.eventPostingAccessGranted()) return kPendingStatusWithoutKeyEvents;
    return store_.accessibilitySettingsAvailable() ? kPendingStatus : kPendingStatusSwitchedOff;
}

bool PermissionSetupView::accessGranted() const {
    return store_.accessibilityAccessGranted() && store_.eventPostingAccessGranted();
}

QPushButton* PermissionSetupView::button(const char* title) const {
    for (QPushButton* candidate : findChildren<QPushButton*>())
        if (candidate->text() == text(title)) return candidate;
    return nullptr;
}

QLabel* PermissionSetupView::badge(int row) const { return row >= 0 && row < 2 ? rows_[row].badge : nullptr; }
QLabel* PermissionSetupView::caption(int row) const { return row >= 0 && row < 2 ? rows_[row].caption : nullptr; }

void PermissionSetupView::refresh() {
    const bool granted = accessGranted();
    setRowState(rows_[0], store_.accessibilityAccessGranted());
    setRowState(rows_[1], store_.eventPostingAccessGranted());
    const bool systemShortcut = store_.pasteUsesSystemShortcut();
    message_->setText(message(systemShortcut));
    // With the system shortcut Ctrl+V is the way every clip goes in, not a fallback.
    rows_[1].title->setText(systemShortcut ? QStringLiteral("Paste keys") : QStringLiteral("Paste-event fallback"));
    rows_[1].caption->setText(eventPostingSubtitle(systemShortcut) + QLatin1Char('\n') +
                              text(store_.eventPostingAccessGranted() ? kEventPostingPresent : kEventPostingAbsent));

    const bool available = updates_.isAvailable && updates_.isAvailable();
    updateCard_->setVisible(available);
    {
        const QSignalBlocker quiet(updateToggle_);
        updateToggle_->setChecked(updates_.automaticallyChecks && updates_.automaticallyChecks());
    }

    // Where nothing could be granted, the way out is to go on copying, not to ask again.
    const bool impossible = !granted && directPasteImpossible(store_);
    const bool canContinue = granted || impossible;
    continue_->setVisible(canContinue);
    request_->setVisible(!granted && !impossible);
    pendingButtons_->setVisible(!granted);
    button(kOpenSettingsTitle)->setVisible(store_.accessibilitySettingsAvailable());
    const QString keys = globalShortcutKeys(store_.globalShortcutLabel());
    inputNote_->setText(inputNote(keys));
    status_->setText(granted ? readyStatus(keys) : text(pendingStatus()));
    status_->setStyleSheet(QStringLiteral("color: %1;")
                               .arg(granted ? kGranted.name() : VisualTheme::secondaryText().name()));
    if (canContinue != shownContinue_) {
        shownContinue_ = canContinue;
        // The button that had the focus may just have been hidden.
        QPushButton* primary = canContinue ? continue_ : request_;
        setFocusProxy(primary);
        if (isVisible()) primary->setFocus(Qt::OtherFocusReason);
    }
}

void PermissionSetupView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) return;
    store_.refreshDirectPasteAccess();
    refresh();
}

void PermissionSetupView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // The shelf was closed over a sheet that asks for nothing this session could grant: it
    // must not come back at every opening. Left after the hide, never inside it.
    if (event->spontaneous() || !directPasteImpossible(store_)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!isVisible() && store_.showPermissionSetup() && directPasteImpossible(store_))
                store_.setShowPermissionSetup(false);
        },
        Qt::QueuedConnection);
}

void PermissionSetupView::continueAndReturn() {
    recordUpdateChoiceIfNeeded();
    store_.setShowPermissionSetup(false);
    finishLater();
}

void PermissionSetupView::useCopyOnlyMode() {
    // Off for this run at once, then kept as the choice for later launches.
    store_.setPasteDirectly(false);
    store_.settings().setPasteDirectly(false);
    recordUpdateChoiceIfNeeded();
    store_.setShowPermissionSetup(false);
    finishLater();
}

void PermissionSetupView::recordUpdateChoiceIfNeeded() {
    if (!updates_.needsChoice || !updates_.needsChoice()) return;
    const bool enabled = updates_.automaticallyChecks && updates_.automaticallyChecks();
    if (updates_.record) updates_.record(enabled);
}

void PermissionSetupView::finishLater() {
    // After the dismissal has been processed, never inside the button's action.
    QMetaObject::invokeMethod(
        &store_,
        [store = QPointer<HistoryStore>(&store_)] {
            if (store) store->finishPermissionSetup();
        },
        Qt::QueuedConnection);
}

}  // namespace harbelle
