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
    // Every title in the roomy style, else every title in the tight one, else titles go from
    // the right first.
    int spare = width() - minimumSizeHint().width();
    const auto extra = [&](FilterChip* chip, bool tight) {
        return chip->wantsTitle() ? chip->titledWidth(tight) - chip->glyphWidth() : 0;
    };
    int roomy = 0, tight = 0;
    for (FilterChip* chip : chips_) {
        roomy += extra(chip, false);
        tight += extra(chip, true);
    }
    const bool tightened = roomy > spare && tight <= spare;
    std::vector<bool> titled(chips_.size(), false);
    for (std::size_t i = 0; i < chips_.size(); ++i) {
        if (!chips_[i]->wantsTitle()) continue;
        const int needed = extra(chips_[i], tightened);
        if (needed > spare) break;
        titled[i] = true;
        spare -= needed;
    }
    int x = 0;
    for (std::size_t i = 0; i < chips_.size(); ++i) {
        FilterChip* chip = chips_[i];
        chip->setTight(tightened);
        chip->setTitleShown(titled[i]);
        const int w = titled[i] ? chip->titledWidth() : chip->glyphWidth();
        chip->setGeometry(x, 0, w, FilterChip::kHeight);
        x += w + spacing_;
    }
}

}  // namespace harbelle
