#include "settings/AboutPage.h"

#include <QLabel>
#include <QVBoxLayout>

#include "settings/SettingsPageBlocks.h"
#include "theme/AppMark.h"

namespace harbelle {

using namespace settingsblocks;

AboutPage::AboutPage(const BundleInfo& bundle, QWidget* parent) : QWidget(parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 55, 0, 0);
    page->setSpacing(18);
    page->addWidget(new AppMark(88), 0, Qt::AlignHCenter);
    auto* name = new QLabel("Harbelle");
    name->setFont(settingsblocks::font(30, QFont::Bold, true));
    page->addWidget(name, 0, Qt::AlignHCenter);
    auto* tagline = new QLabel("Your personal clipboard time machine");
    tagline->setFont(settingsblocks::font(15));
    setLabelColor(tagline, secondaryColor());
    page->addWidget(tagline, 0, Qt::AlignHCenter);
    version_ = new QLabel("Version " + appVersion(bundle) + " · Native Linux");
    version_->setFont(settingsblocks::font(11));
    setLabelColor(version_, tertiaryColor());
    page->addWidget(version_, 0, Qt::AlignHCenter);

    auto* closing = new QVBoxLayout;
    closing->setSpacing(5);
    closing->addWidget(title("Local clipboard storage · Private by design", 13, QFont::Medium), 0, Qt::AlignHCenter);
    auto* inspired = caption("Inspired by the fast visual workflow of modern clipboard tools, with original design "
                             "and private local data.");
    inspired->setAlignment(Qt::AlignHCenter);
    // Given the whole width, not aligned: an aligned item gets its one-line size hint and the
    // layout never asks how high the wrapped text is.
    closing->setContentsMargins(24, 0, 24, 0);
    closing->addWidget(inspired);
    page->addLayout(closing);
    page->addStretch(1);
}

}  // namespace harbelle
