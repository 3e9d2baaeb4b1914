#pragma once

#include <QWidget>
#include <array>

#include "history/ShelfPlacement.h"

class QLabel;
class QSlider;

namespace harbelle {

class ChoiceTile;
class AppSettings;
class HistoryStore;

// The shelf's edge, size preset and background transparency.
class AppearancePage : public QWidget {
    Q_OBJECT
public:
    // The slider counts in percent, which is the value a screen reader announces.
    static constexpr int kSliderScale = 100;

    explicit AppearancePage(HistoryStore& store, QWidget* parent = nullptr);
    void refresh();

    ChoiceTile* placementTile(ShelfPlacement placement) const { return placements_[static_cast<int>(placement)]; }
    // compact, medium, full
    ChoiceTile* sizeTile(ShelfSizeMode mode) const { return sizes_[static_cast<int>(mode)]; }
    QLabel* placementNote() const { return placementNote_; }
    QLabel* sizeNote() const { return sizeNote_; }
    QLabel* percentage() const { return percentage_; }
    QSlider* transparency() const { return transparency_; }

    // "18%" for 0.18: whole percent, halves away from zero.
    static QString percentText(double transparency);

private:
    HistoryStore& store_;
    AppSettings& settings_;
    std::array<ChoiceTile*, 4> placements_{};
    std::array<ChoiceTile*, 3> sizes_{};
    QLabel* placementNote_ = nullptr;
    QLabel* sizeNote_ = nullptr;
    QLabel* percentage_ = nullptr;
    QSlider* transparency_ = nullptr;
};

}  // namespace harbelle
