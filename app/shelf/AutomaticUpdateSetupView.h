#pragma once

#include <QWidget>

#include "shelf/ShelfUpdateChoice.h"

class QCheckBox;
class QPushButton;

namespace harbelle {

// The first-run question whether the updater looks for updates by itself. The toggle changes
// the updater at once; "Save Update Choice" records the choice, closes the sheet and hands
// control back. It cannot be dismissed any other way.
class AutomaticUpdateSetupView : public QWidget {
    Q_OBJECT
public:
    // `updates` is read on every refresh and must outlive the view.
    explicit AutomaticUpdateSetupView(const ShelfUpdateChoice& updates, QWidget* parent = nullptr);

    static constexpr const char* kSaveTitle = "Save Update Choice";

    void refresh();
    QCheckBox* toggle() const { return toggle_; }
    QPushButton* saveButton() const { return save_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    const ShelfUpdateChoice& updates_;
    QCheckBox* toggle_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace harbelle
