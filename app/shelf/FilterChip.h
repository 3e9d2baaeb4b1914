#pragma once

#include <QAbstractButton>

#include "history/ClipFilter.h"

namespace harbelle {

// A rounded filter pill: the filter's glyph, its title and the number of clips it holds. In a
// narrow (vertical) shelf the title gives way to the glyph alone; the filter bar drops titles
// too when the header has no room for them, so the counts stay readable on the narrowest shelf;
// a chip without its title still names its filter in its tooltip.
class FilterChip : public QAbstractButton {
public:
    FilterChip(ClipFilter filter, QWidget* parent);

    void setCount(int count);
    int count() const { return count_; }
    void setCompact(bool compact);
    bool wantsTitle() const { return !compact_ || filter_ == ClipFilter::all; }
    void setTitleShown(bool shown);
    bool showsTitle() const { return titleShown_ && wantsTitle(); }
    // Titled with the glyph-only chip's padding: the bar's step before it drops any title.
    void setTight(bool tight);
    int titledWidth() const { return titledWidth(tight_); }
    int titledWidth(bool tight) const;
    int glyphWidth() const;
    // The roomy width: the bar asks for every title in the roomy style.
    QSize sizeHint() const override { return QSize(wantsTitle() ? titledWidth(false) : glyphWidth(), kHeight); }
    QSize minimumSizeHint() const override { return QSize(glyphWidth(), kHeight); }

    static constexpr int kHeight = 26;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal countWidth() const;
    // Glyph, gaps, optional title and count, without the outer padding.
    qreal contentWidth(bool titled) const;

    ClipFilter filter_;
    int count_ = 0;
    bool compact_ = false;
    bool titleShown_ = true;
    bool tight_ = false;
};

}  // namespace harbelle
