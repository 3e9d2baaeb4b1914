#include "settings/SettingToggle.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "settings/SettingsPageBlocks.h"

namespace harbelle {

SettingToggle::SettingToggle(const QString& title, const QString& subtitle, QWidget* parent)
    : QWidget(parent), subtitle_(settingsblocks::caption(subtitle)), switch_(new QCheckBox(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    texts->addWidget(settingsblocks::title(title));
    texts->addWidget(subtitle_);
    row->addLayout(texts, 1);
    row->addWidget(switch_, 0, Qt::AlignVCenter);
    switch_->setAccessibleName(title);
    switch_->setAccessibleDescription(subtitle);
    // Not `clicked`: a screen reader's Toggle action flips the box without a click. Every fill
    // goes through setOn(), which blocks the signal, so only the user's changes arrive here.
    connect(switch_, &QCheckBox::toggled, this, &SettingToggle::toggledByUser);
}

bool SettingToggle::isOn() const { return switch_->isChecked(); }

void SettingToggle::setOn(bool on) {
    const QSignalBlocker quiet(switch_);
    switch_->setChecked(on);
}

}  // namespace harbelle
