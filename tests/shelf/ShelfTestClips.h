#pragma once

#include <QImage>
#include <QPainter>
#include <QLinearGradient>
#include <filesystem>
#include <vector>

#include "history/ClipItem.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {

// Seven clips like the demo history: text, a link, code, an image, a file, a colour, text.
inline std::vector<ClipItem> sampleClips(const std::string& imagePayload = "") {
    auto make = [](ClipKind kind, std::string title, std::string text, std::string app) {
        ClipItem item = ClipBuilder(std::move(text), kind).title(std::move(title)).app(std::move(app));
        item.sourceDeviceID = "mac_test";
        item.sourceDeviceName = "Studio Desk";
        item.sourceDevicePlatform = "Linux";
        return item;
    };
    std::vector<ClipItem> items;
    items.push_back(make(ClipKind::text, "Your personal clipboard time machine",
                         "Harbelle keeps everything you copy close at hand, so an older idea is never more "
                         "than a search away.",
                         "Notes"));
    items.back().isPinned = true;
    items.push_back(make(ClipKind::link, "design.example.org",
                         "https://www.design.example.org/guidelines/layout/cards", "Firefox"));
    items.push_back(make(ClipKind::code, "A tiny SwiftUI view",
                         "struct WelcomeView: View {\n    var body: some View {\n        Text(\"Hello, Harbelle\")\n"
                         "    }\n}",
                         "Code"));
    items.push_back(make(ClipKind::image, "Product inspiration", "", "Photos"));
    items.back().searchableText = "colorful workspace clipboard inspiration";
    if (!imagePayload.empty()) {
        items.back().payloadFilename = imagePayload;
        items.back().payloadContentType = "image/png";
    }
    items.push_back(make(ClipKind::file, "Project brief.pdf", "/home/you/Documents/Project brief.pdf", "Files"));
    items.back().fileURLs = {"/home/you/Documents/Project brief.pdf"};
    items.push_back(make(ClipKind::color, "Warm orange", "#FF9400", "Inkscape"));
    items.push_back(make(ClipKind::text, "Meeting follow-up",
                         "Thanks for today. I’ve attached the notes and next steps—let’s reconnect on Friday.",
                         "Mail"));
    items.back().sourceDeviceName.reset();
    items.back().sourceDevicePlatform.reset();
    items.back().sourceAppName = "Synced";
    return items;
}

// A colourful PNG standing in for a copied picture.
inline bool writeSamplePng(const std::filesystem::path& file, int width = 640, int height = 420) {
    QImage image(width, height, QImage::Format_ARGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, width, height);
    sky.setColorAt(0, QColor(0xff, 0x9a, 0x8b));
    sky.setColorAt(0.5, QColor(0xff, 0x6a, 0x88));
    sky.setColorAt(1, QColor(0x6a, 0x5a, 0xcd));
    painter.fillRect(image.rect(), sky);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 230, 150));
    painter.drawEllipse(QPointF(width * 0.72, height * 0.3), height * 0.12, height * 0.12);
    painter.setBrush(QColor(40, 30, 80, 200));
    painter.drawPolygon(QPolygonF({QPointF(0, height), QPointF(width * 0.35, height * 0.45),
                                   QPointF(width * 0.6, height * 0.8), QPointF(width * 0.8, height * 0.55),
                                   QPointF(width, height)}));
    painter.end();
    return image.save(QString::fromStdString(file.string()), "PNG");
}

}  // namespace harbelle::testing
