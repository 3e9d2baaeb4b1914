#include "shelf/FilterBar.h"

#include <algorithm>

#include "shelf/FilterChip.h"

namespace harbelle {

FilterBar::FilterBar(QWidget* parent) : QWidget(parent) { setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed); }

void FilterBar::addChip(FilterChip* chip) {
    chip->setParent(this);
    chips_.push_back(chip);
    refresh();
}

void FilterBar::setSpacing(int spacing) {
    spacing_ = spacing;
    refresh();
}

void FilterBar::refresh() {
    updateGeometry();
    arrange();
}

QSize FilterBar::sizeHint() const {
    return QSize(total([](FilterChip* c) { return c->sizeHint().width(); }), FilterChip::kHeight);
}

QSize FilterBar::minimumSizeHint() const {
    return QSize(total([](FilterChip* c) { return c->glyphWidth(); }), FilterChip::kHeight);
}

void FilterBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrange();
}

template <typename Width>
int FilterBar::total(Width width) const {
    int sum = 0;
    for (FilterChip* chip : chips_) sum += width(chip);
    return sum + spacing_ * std::max(0, static_cast<int>(chips_.size()) - 1);
}

void FilterBar::arrange() {
    int spare = width() - minimumSizeHint().width();
    std::vector<bool> titled(chips_.size(), false);
    for (std::size_t i = 0; i < chips_.size(); ++i) {
        if (!chips_[i]->wantsTitle()) continue;
        const int extra = chips_[i]->titledWidth() - chips_[i]->glyphWidth();
        if (extra > spare) break;  // titles go from the right first
        titled[i] = true;
        spare -= extra;
    }
    int x = 0;
    for (std::size_t i = 0; i < chips_.size(); ++i) {
        FilterChip* chip = chips_[i];
        chip->setTitleShown(titled[i]);
        const int w = titled[i] ? chip->titledWidth() : chip->glyphWidth();
        chip->setGeometry(x, 0, w, FilterChip::kHeight);
        x += w + spacing_;
    }
}

}  // namespace harbelle
