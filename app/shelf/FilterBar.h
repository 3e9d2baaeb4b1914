#pragma once

#include <QWidget>
#include <vector>

namespace harbelle {

class FilterChip;

// The row of filter chips. It asks for every title but takes less: given a narrower width it
// drops titles from the right until the chips fit, down to glyphs and counts alone.
class FilterBar : public QWidget {
public:
    explicit FilterBar(QWidget* parent);

    void addChip(FilterChip* chip);
    void setSpacing(int spacing);
    // After a chip's count or compactness changed.
    void refresh();
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    template <typename Width>
    int total(Width width) const;
    void arrange();

    std::vector<FilterChip*> chips_;
    int spacing_ = 6;
};

}  // namespace harbelle
