#pragma once

// A fixed page of printed text, as large as a screenshot of a long document: the same pixels on
// every run, for recognition tests and the recognition benchmark. Needs a QGuiApplication.

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QStringList>

namespace harbelle::testing {

inline QImage textPage(int width = 4000, int height = 3000, int lines = 140) {
    static const char* const kWords[] = {
        "invoice", "shipment", "harbour", "ledger", "quarterly", "balance", "customer", "number",
        "account", "delivery", "receipt", "payment", "order", "total", "amount", "status",
        "review", "morning", "evening", "report", "summary", "meeting", "project", "budget"};
    QImage page(width, height, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    QFont font(QStringLiteral("DejaVu Sans"));
    const int lineHeight = height / (lines + 4);
    font.setPixelSize(lineHeight * 3 / 4);
    painter.setFont(font);
    painter.setPen(Qt::black);
    unsigned state = 20261207;  // a fixed seed: the same page every time
    const auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return (state >> 16) & 0x7fff;
    };
    for (int line = 0; line < lines; ++line) {
        QString text = QString::number(line + 1) + QStringLiteral(".");
        for (int word = 0; word < 22; ++word) {
            text += QLatin1Char(' ');
            text += next() % 5 == 0 ? QString::number(next() % 10000)
                                    : QString::fromLatin1(kWords[next() % (sizeof kWords / sizeof *kWords)]);
        }
        painter.drawText(QPoint(lineHeight * 2, lineHeight * (line + 3)), text);
    }
    return page;
}

}  // namespace harbelle::testing
