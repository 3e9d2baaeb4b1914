// A window with one text field for the integration tests. It writes the field's content to the
// file named by --out whenever it changes (and once at start), and prints "WINDOW <id>" when
// its window is shown. --caret N puts the caret at N, --select A B selects from A to B;
// --textedit shows a multi-line QTextEdit instead of a line edit.
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QSaveFile>
#include <QTextEdit>
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
    const QString text = argumentAfter(arguments, QStringLiteral("--text"));
    const qsizetype select = arguments.indexOf(QStringLiteral("--select"));
    const bool selects = select >= 0 && select + 2 < arguments.size();
    const int start = selects ? arguments.at(select + 1).toInt() : 0;
    const int end = selects ? arguments.at(select + 2).toInt() : 0;
    const int caret = argumentAfter(arguments, QStringLiteral("--caret"), QStringLiteral("-1")).toInt();
    QWidget* field = nullptr;
    if (arguments.contains(QStringLiteral("--textedit"))) {
        auto* edit = new QTextEdit(&window);
        edit->setAcceptRichText(false);
        edit->setPlainText(text);
        QTextCursor cursor = edit->textCursor();
        if (selects) {
            cursor.setPosition(start);
            cursor.setPosition(end, QTextCursor::KeepAnchor);
        } else if (caret >= 0) {
            cursor.setPosition(caret);
        }
        edit->setTextCursor(cursor);
        QObject::connect(edit, &QTextEdit::textChanged, [out, edit] { writeContent(out, edit->toPlainText()); });
        field = edit;
    } else {
        auto* line = new QLineEdit(&window);
        line->setText(text);
        if (selects) line->setSelection(start, end - start);
        else if (caret >= 0) line->setCursorPosition(caret);
        QObject::connect(line, &QLineEdit::textChanged, [out](const QString& changed) { writeContent(out, changed); });
        field = line;
    }
    field->setAccessibleName(QStringLiteral("field"));
    layout->addWidget(field);
    writeContent(out, text);

    window.resize(400, 80);
    window.show();
    field->setFocus();
    std::printf("WINDOW %llu\n", static_cast<unsigned long long>(window.winId()));
    std::fflush(stdout);
    return app.exec();
}
