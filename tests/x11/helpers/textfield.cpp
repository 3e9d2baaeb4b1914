// A window with one text field for the integration tests. It writes the field's content to the
// file named by --out whenever it changes (and once at start), and prints "WINDOW <id>" when
// its window is shown. --caret N puts the caret at N, --select A B selects from A to B.
// --ignore-inserts: the field's accessible insert answers yes and changes nothing, as some
// browsers' fields do. --second-window: a second window with no field, printed as "SECOND <id>".
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QLabel>
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
class IgnoringInserts final : public QAccessibleWidget,
                              public QAccessibleTextInterface,
                              public QAccessibleEditableTextInterface {
public:
    explicit IgnoringInserts(QLineEdit* edit) : QAccessibleWidget(edit, QAccessible::EditableText) {}
    QLineEdit* edit() const { return static_cast<QLineEdit*>(widget()); }
    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        if (type == QAccessible::EditableTextInterface) return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.editable = true;
        state.focusable = true;
        return state;
    }
    QString text(QAccessible::Text kind) const override {
        return kind == QAccessible::Value ? edit()->text() : QAccessibleWidget::text(kind);
    }
    void selection(int index, int* start, int* end) const override {
        *start = *end = edit()->cursorPosition();
        if (index != 0 || !edit()->hasSelectedText()) return;
        *start = edit()->selectionStart();
        *end = *start + int(edit()->selectedText().size());
    }
    int selectionCount() const override { return edit()->hasSelectedText() ? 1 : 0; }
    void addSelection(int start, int end) override { edit()->setSelection(start, end - start); }
    void removeSelection(int) override { edit()->deselect(); }
    void setSelection(int, int start, int end) override { edit()->setSelection(start, end - start); }
    int cursorPosition() const override { return edit()->cursorPosition(); }
    void setCursorPosition(int position) override { edit()->setCursorPosition(position); }
    QString text(int start, int end) const override { return edit()->text().mid(start, end - start); }
    int characterCount() const override { return int(edit()->text().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override {
        *start = *end = offset;
        return {};
    }
    void deleteText(int start, int end) override { edit()->setText(edit()->text().remove(start, end - start)); }
    void insertText(int, const QString&) override {}
    void replaceText(int, int, const QString&) override {}
};

QAccessibleInterface* ignoringInsertsFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("QLineEdit") && object->isWidgetType())
        return new IgnoringInserts(static_cast<QLineEdit*>(object));
    return nullptr;
}
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QString out = argumentAfter(arguments, QStringLiteral("--out"));
    if (arguments.contains(QStringLiteral("--ignore-inserts"))) QAccessible::installFactory(ignoringInsertsFactory);

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
    QWidget second;
    if (arguments.contains(QStringLiteral("--second-window"))) {
        second.setWindowTitle(window.windowTitle() + QStringLiteral(" (no field)"));
        new QLabel(QStringLiteral("Nothing to type in here"), &second);
        second.resize(300, 80);
        second.move(450, 300);
        second.show();
        std::printf("SECOND %llu\n", static_cast<unsigned long long>(second.winId()));
        std::fflush(stdout);
    }
    return app.exec();
}
