// A window with one text field for the integration tests. It writes the field's content to the
// file named by --out whenever it changes (and once at start), and prints "WINDOW <id>" when
// its window is shown. --caret N puts the caret at N, --select A B selects from A to B.
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QSaveFile>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

namespace {
QString argumentAfter(const QStringList& arguments, const QString& name, const QString& fallback = {}) {
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : fallback;
}

void writeContent(const QString& path, const QString& text) {
    if (path.isEmpty()) return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(text.toUtf8());
    file.commit();
}
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QString out = argumentAfter(arguments, QStringLiteral("--out"));

    QWidget window;
    window.setWindowTitle(argumentAfter(arguments, QStringLiteral("--title"), QStringLiteral("Harbelle test field")));
    auto* layout = new QVBoxLayout(&window);
    auto* field = new QLineEdit(&window);
    field->setAccessibleName(QStringLiteral("field"));
    layout->addWidget(field);
    field->setText(argumentAfter(arguments, QStringLiteral("--text")));
    const qsizetype select = arguments.indexOf(QStringLiteral("--select"));
    if (select >= 0 && select + 2 < arguments.size()) {
        const int start = arguments.at(select + 1).toInt();
        const int end = arguments.at(select + 2).toInt();
        field->setSelection(start, end - start);
    } else if (arguments.contains(QStringLiteral("--caret"))) {
        field->setCursorPosition(argumentAfter(arguments, QStringLiteral("--caret")).toInt());
    }
    QObject::connect(field, &QLineEdit::textChanged, [out](const QString& text) { writeContent(out, text); });
    writeContent(out, field->text());

    window.resize(400, 80);
    window.show();
    field->setFocus();
    std::printf("WINDOW %llu\n", static_cast<unsigned long long>(window.winId()));
    std::fflush(stdout);
    return app.exec();
}
