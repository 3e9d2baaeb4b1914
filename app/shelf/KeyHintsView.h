#pragma once

#include <QString>
#include <QWidget>
#include <vector>

namespace harbelle {

// One key and what it does, as the shelf's hint strip shows it.
struct KeyHint {
    QString keys;
    QString title;
    bool operator==(const KeyHint&) const = default;
};

// A quiet strip of key caps along the shelf's foot. Hints that do not fit are left off from
// the end, never cut in half.
class KeyHintsView : public QWidget {
    Q_OBJECT
public:
    explicit KeyHintsView(QWidget* parent = nullptr);

    // The shelf's keys; Return copies instead of pasting in copy-only mode.
    static std::vector<KeyHint> shelfHints(bool choosingPastes = true);

    void setHints(std::vector<KeyHint> hints);
    const std::vector<KeyHint>& hints() const { return hints_; }
    // How many hints fit in a width (all when the width is enough).
    int visibleHintCount(int width) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal hintWidth(const KeyHint& hint) const;

    std::vector<KeyHint> hints_;
};

}  // namespace harbelle
