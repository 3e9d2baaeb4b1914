// The fixed sample history shown with --demo; built afresh, relative to the launch time.
#include "history/HistoryStore.h"

namespace harbelle {

namespace {

struct DemoRow {
    ClipKind kind;
    const char* title;
    const char* text;
    const char* searchableText;
    const char* sourceAppName;
    const char* sourceBundleID;
    int secondsAgo;
    bool pinned;
};

constexpr const char* kDemoSnippet =
    "struct WelcomeView: View {\n"
    "    var body: some View {\n"
    "        Text(\"Hello, Harbelle\")\n"
    "    }\n"
    "}";

constexpr const char* kDemoFilePath = "/Users/you/Documents/Project brief.pdf";

}  // namespace

std::vector<ClipItem> HistoryStore::demoItems(Date now) {
    const DemoRow rows[] = {
        {ClipKind::text, "Your personal clipboard time machine",
         "Harbelle keeps everything you copy close at hand, so an older idea is never more than a search away.",
         "", "Notes", "com.apple.Notes", 0, true},
        {ClipKind::link, "design.example.org", "https://design.example.org/guidelines/layout", "", "Safari",
         "com.apple.Safari", 90, false},
        {ClipKind::code, "A tiny SwiftUI view", kDemoSnippet, "", "Xcode", "com.apple.dt.Xcode", 240, false},
        {ClipKind::image, "Product inspiration", "", "colorful workspace clipboard inspiration", "Photos",
         "com.apple.Photos", 900, false},
        {ClipKind::file, "Project brief.pdf", kDemoFilePath, "", "Finder", "com.apple.finder", 2400, false},
        {ClipKind::color, "Warm orange", "#FF9400", "", "Figma", "com.figma.Desktop", 4800, false},
        {ClipKind::text, "Meeting follow-up",
         "Thanks for today. I\u2019ve attached the notes and next steps\u2014let\u2019s reconnect on Friday.", "",
         "Mail", "com.apple.mail", 7200, false},
    };
    std::vector<ClipItem> items;
    items.reserve(std::size(rows));
    for (const auto& row : rows) {
        ClipItem clip;
        clip.id = Uuid::random();
        clip.createdAt = now - std::chrono::seconds(row.secondsAgo);
        clip.updatedAt = clip.createdAt;
        clip.kind = row.kind;
        clip.title = row.title;
        clip.text = row.text;
        clip.searchableText = row.searchableText;
        clip.sourceAppName = row.sourceAppName;
        clip.sourceBundleID = row.sourceBundleID;
        clip.isPinned = row.pinned;
        if (row.kind == ClipKind::file) clip.fileURLs = {kDemoFilePath};
        clip.fingerprint = ClipItem::makeFingerprint(clip.kind, clip.text, clip.fileURLs, std::nullopt, nullptr);
        items.push_back(std::move(clip));
    }
    return items;
}

}  // namespace harbelle
