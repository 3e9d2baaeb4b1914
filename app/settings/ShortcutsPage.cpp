#include "settings/ShortcutsPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "history/DirectPasteState.h"
#include "history/GlobalShortcutKeys.h"
#include "history/HistoryStore.h"
#include "settings/SettingsCard.h"
#include "settings/SettingsPageBlocks.h"

namespace harbelle {

using namespace settingsblocks;

namespace {

QLabel* keyCap(const QString& keys) {
    auto* badge = new QLabel(keys);
    badge->setFont(settingsblocks::font(13, QFont::DemiBold, true));
    badge->setContentsMargins(10, 6, 10, 6);
    QColor tint = badge->palette().color(QPalette::WindowText);
    tint.setAlphaF(0.07);
    badge->setStyleSheet(QStringLiteral("QLabel { background: rgba(%1,%2,%3,%4); border-radius: 7px; }")
                             .arg(tint.red())
                             .arg(tint.green())
                             .arg(tint.blue())
                             .arg(tint.alphaF()));
    return badge;
}

}  // namespace

QString ShortcutsPage::noteFor(const QString& label) {
    if (label == QStringLiteral("⇧⌘V"))
        return "The global shortcut is registered without recording or monitoring the rest of your keyboard input.";
    return "Another program currently owns Shift+Super+V, so Harbelle selected an available shortcut automatically. "
           "Quit that program and reopen Harbelle to restore Shift+Super+V.";
}

QString ShortcutsPage::keysFor(const QString& label) {
    const QString keys = globalShortcutKeys(label.toStdString());
    return keys.isEmpty() ? QStringLiteral("Tray icon") : keys;
}

ShortcutsPage::ShortcutsPage(HistoryStore& store, QWidget* parent) : QWidget(parent), store_(store) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(22);
    auto* card = new SettingsCard;
    // A row's second title is what it does in copy-only mode, where choosing a clip copies it.
    struct Row {
        const char* title;
        const char* keys;
        const char* copyTitle = nullptr;
    };
    const Row rows[] = {{"Show or hide Harbelle", nullptr},
                        {"Move between clips", "←  →"},
                        {"Paste selected clip", "↩", "Copy selected clip"},
                        {"Paste as plain text", "⇧↩", "Copy as plain text"},
                        {"Quick paste visible clips", "Ctrl 1…9", "Quick copy visible clips"},
                        {"Search", "Ctrl F"},
                        {"Preview", "Space"},
                        {"Delete", "⌫"},
                        {"Dismiss", "Esc"},
                        {"New text clip", "Ctrl N"},
                        {"Settings", "Ctrl ,"},
                        {"Quit Harbelle", "Ctrl Q"}};
    bool firstRow = true;
    for (const Row& r : rows) {
        if (!firstRow) card->content()->addWidget(divider());
        firstRow = false;
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        QLabel* rowTitle = title(QString::fromUtf8(r.title), 14, QFont::Normal);
        if (r.copyTitle) verbRows_.push_back({rowTitle, QString::fromUtf8(r.title), QString::fromUtf8(r.copyTitle)});
        layout->addWidget(rowTitle);
        layout->addStretch(1);
        QLabel* badge = keyCap(r.keys ? QString::fromUtf8(r.keys) : QString());
        if (!r.keys) globalKeys_ = badge;
        layout->addWidget(badge);
        card->content()->addWidget(row);
    }
    page->addWidget(card);
    note_ = caption(QString());
    page->addWidget(note_);
    page->addStretch(1);
    connect(&store_, &HistoryStore::globalShortcutLabelChanged, this, &ShortcutsPage::refresh);
    for (auto changed : {&HistoryStore::pasteDirectlyChanged, &HistoryStore::accessibilityBusAvailableChanged,
                         &HistoryStore::eventPostingAccessGrantedChanged})
        connect(&store_, changed, this, &ShortcutsPage::refresh);
    refresh();
}

void ShortcutsPage::refresh() {
    const QString label = QString::fromStdString(store_.globalShortcutLabel());
    globalKeys_->setText(keysFor(label));
    note_->setText(noteFor(label));
    const bool pastes = choosingPastes(store_);
    for (const VerbRow& row : verbRows_) row.label->setText(pastes ? row.pasteTitle : row.copyTitle);
}

}  // namespace harbelle
