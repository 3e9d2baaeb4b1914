#pragma once

#include <QWidget>

class QLabel;

namespace harbelle {

class BundleInfo;

// The mark, name, tagline and version of the program.
class AboutPage : public QWidget {
    Q_OBJECT
public:
    explicit AboutPage(const BundleInfo& bundle, QWidget* parent = nullptr);
    QLabel* versionLine() const { return version_; }

private:
    QLabel* version_ = nullptr;
};

}  // namespace harbelle
