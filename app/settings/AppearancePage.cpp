#include "settings/AppearancePage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <cmath>

#include "history/HistoryStore.h"
#include "settings/ChoiceTile.h"
#include "settings/SettingsCard.h"
#include "settings/SettingsPageBlocks.h"

namespace harbelle {

using namespace settingsblocks;

namespace {

QString capitalized(std::string_view raw) {
    QString text = QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    return text;
}

}  // namespace

QString AppearancePage::percentText(double transparency) {
    const double percent = std::round(transparency * 100);  // std::round rounds halves away from zero
    return QString::number(static_cast<long long>(percent)) + "%";
}

AppearancePage::AppearancePage(HistoryStore& store, QWidget* parent) : QWidget(parent), store_(store), settings_(store.settings()) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(22);

    page->addWidget(sectionHeader("Shelf Position"));
    auto* position = new SettingsCard;
    auto* placementRow = new QHBoxLayout;
    placementRow->setSpacing(10);
    for (ShelfPlacement placement : {ShelfPlacement::bottom, ShelfPlacement::top, ShelfPlacement::left,
                                     ShelfPlacement::right}) {
        const bool horizontal = placement == ShelfPlacement::bottom || placement == ShelfPlacement::top;
        auto* tile = new ChoiceTile(static_cast<ChoiceTile::Drawing>(static_cast<int>(placement)),
                                    capitalized(shelfplacement::rawValue(placement)), horizontal ? "Horizontal" : "Vertical");
        placements_[static_cast<int>(placement)] = tile;
        placementRow->addWidget(tile);
        connect(tile, &ChoiceTile::clicked, this, [this, placement] { store_.updateShelfPlacement(placement); });
    }
    position->content()->addLayout(placementRow);
    placementNote_ = caption(QString());
    position->content()->addWidget(placementNote_);
    page->addWidget(position);

    page->addWidget(sectionHeader("Shelf Size"));
    auto* size = new SettingsCard;
    auto* sizeRow = new QHBoxLayout;
    sizeRow->setSpacing(10);
    for (ShelfSizeMode mode : {ShelfSizeMode::compact, ShelfSizeMode::medium, ShelfSizeMode::full}) {
        const auto drawing = mode == ShelfSizeMode::compact  ? ChoiceTile::Drawing::compact
                             : mode == ShelfSizeMode::medium ? ChoiceTile::Drawing::medium
                                                             : ChoiceTile::Drawing::full;
        auto* tile = new ChoiceTile(drawing, capitalized(shelfsizemode::rawValue(mode)), QString());
        sizes_[static_cast<int>(mode)] = tile;
        sizeRow->addWidget(tile);
        connect(tile, &ChoiceTile::clicked, this, [this, mode] { store_.updateShelfSizeMode(mode); });
    }
    size->content()->addLayout(sizeRow);
    sizeNote_ = caption(QString());
    size->content()->addWidget(sizeNote_);
    page->addWidget(size);

    page->addWidget(sectionHeader("Transparency"));
    auto* clarity = new SettingsCard(13);
    percentage_ = new QLabel;
    percentage_->setFont(settingsblocks::font(13, QFont::DemiBold, true));
    clarity->content()->addWidget(settingRow(
        "Bar transparency", caption("Cards stay readable while the shelf background becomes clearer."), {percentage_}));
    transparency_ = new QSlider(Qt::Horizontal);
    transparency_->setAccessibleName("Transparency");
    transparency_->setRange(0, static_cast<int>(std::lround(AppSettings::kMaximumBarTransparency * kSliderScale)));
    transparency_->setSingleStep(1);
    transparency_->setPageStep(5);
    clarity->content()->addWidget(transparency_);
    page->addWidget(clarity);
    // Every value the user gives it (drag, key, screen reader) is stored as it comes; fills run
    // under a signal blocker, and the range was set before this binding.
    connect(transparency_, &QSlider::valueChanged, this, [this](int step) {
        settings_.setBarTransparency(static_cast<double>(step) / kSliderScale);
    });
    page->addStretch(1);

    for (auto signal : {&AppSettings::shelfPlacementChanged, &AppSettings::shelfSizeModeChanged,
                        &AppSettings::barTransparencyChanged})
        connect(&settings_, signal, this, &AppearancePage::refresh);
    refresh();
}

void AppearancePage::refresh() {
    const ShelfPlacement placement = settings_.shelfPlacement();
    for (int i = 0; i < 4; ++i) placements_[i]->setSelected(static_cast<int>(placement) == i);
    const bool horizontal = placement == ShelfPlacement::bottom || placement == ShelfPlacement::top;
    placementNote_->setText(horizontal
                                ? "Clips scroll horizontally along the selected screen edge. You can change this any "
                                  "time with the shelf’s Shelf Position button."
                                : "Clips now stack vertically so the shelf stays clear of chat boxes and other "
                                  "controls along the bottom. Drag an edge to resize it.");
    const ShelfSizeMode mode = settings_.shelfSizeMode();
    for (int i = 0; i < 3; ++i) sizes_[i]->setSelected(static_cast<int>(mode) == i);
    sizeNote_->setText(mode == ShelfSizeMode::custom
                           ? "Custom size is active. Choose a preset above to reset it."
                           : "Drag any shelf edge whenever you want a custom width or height. Harbelle remembers it.");
    const double transparency = settings_.barTransparency();
    percentage_->setText(percentText(transparency));
    const QSignalBlocker quiet(transparency_);
    if (!transparency_->isSliderDown())
        transparency_->setValue(static_cast<int>(std::lround(transparency * kSliderScale)));
}

}  // namespace harbelle
