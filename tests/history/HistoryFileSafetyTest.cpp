// What the history does with hostile files around it: a broken settings file, deep nesting,
// links inside and at the history file, a history file that cannot be copied, leftovers of
// killed saves.
#include <sys/stat.h>
#include <unistd.h>

#include "HistoryStoreTestSupport.h"
#include "platform/linux/JsonFileDefaults.h"

using namespace harbelle;
using namespace harbelle::testing;

namespace {

class HistoryFileSafety : public HistoryStoreFixture {
protected:
    fs::path root() const { return fs::path(temp.path().toStdString()); }
    static void writeText(const fs::path& path, const std::string& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string readText(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    std::vector<ClipItem> clips(int count) {
        std::vector<ClipItem> items;
        for (int i = 0; i < count; ++i) {
            items.push_back(makeClip("clip " + std::to_string(i)));
            clock.advance(Milliseconds(1));
        }
        return items;
    }
};

}  // namespace

TEST_F(HistoryFileSafety, AnUnreadableSettingsFileNeverCostsClips) {
    writeHistory(clips(5000));
    const fs::path config = root() / "config";
    writeText(config / "com.harbelleapp.Harbelle.json", R"({"maxHistory":10000,})");
    JsonFileDefaults settings(JsonFileDefaults::kDefaultIdentifier, config);

    ::testing::internal::CaptureStderr();
    HistoryStoreOptions options;
    options.applicationSupport = support();
    options.bundleIdentifier = kCurrentBundleIdentifier;
    auto store = std::make_unique<HistoryStore>(settings, clock, std::move(options));
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(store->items().size(), 5000u);
    EXPECT_NE(errors.find("could not be read"), std::string::npos) << errors;

    // The default limit standing in for the lost one does not cut the history on a copy either.
    store->insert(makeClip("one more"));
    EXPECT_EQ(store->items().size(), 5001u);
    store->shutdown();
    EXPECT_EQ(readHistory().size(), 5001u);

    // The next run reads the fresh settings file, which holds no limit: still nothing is cut.
    store.reset();
    settings.flush();  // as at quit
    JsonFileDefaults fresh(JsonFileDefaults::kDefaultIdentifier, config);
    ASSERT_FALSE(fresh.readFailure());
    HistoryStoreOptions again;
    again.applicationSupport = support();
    again.bundleIdentifier = kCurrentBundleIdentifier;
    ::testing::internal::CaptureStderr();
    store = std::make_unique<HistoryStore>(fresh, clock, std::move(again));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(store->items().size(), 5001u);
    store->insert(makeClip("and another"));
    EXPECT_EQ(store->items().size(), 5002u);

    // A limit the user sets applies again.
    store->updateMaxHistory(600);
    EXPECT_EQ(store->items().size(), 600u);
}

TEST_F(HistoryFileSafety, DeeplyNestedHistoryIsPreservedNotLoaded) {
    const std::string deep = std::string(200, '[') + std::string(200, ']');
    writeText(historyFile(), R"({"version":1,"items":[],"extra":)" + deep + "}");
    auto store = makeStore();
    EXPECT_TRUE(store->items().empty());
    EXPECT_EQ(store->toastMessage(), "History file was preserved for recovery");
    store.reset();  // the copy is made on the save thread
    EXPECT_TRUE(fs::exists(support() / "history.backup.json")) << "treated as unreadable";

    // Nesting within the limit (and brackets inside strings) still loads.
    const std::string shallow = std::string(60, '[') + std::string(60, ']');
    writeText(historyFile(), R"({"version":1,"items":[],"note":"[[[[[[[[","extra":)" + shallow + "}");
    EXPECT_NO_THROW(historycodec::decode(readText(historyFile())));
}

TEST_F(HistoryFileSafety, PayloadsBehindALinkedFolderAreNeverReadNorDeleted) {
    const fs::path outside = root() / "elsewhere";
    writeText(outside / "v.png", "precious");
    fs::create_directories(payloads());
    fs::create_directory_symlink(outside, payloads() / "lnk");

    // The oldest clip names a file through the link; the start-up trim retires it.
    std::vector<ClipItem> items = clips(HistoryStore::kMinimumMaxHistory + 1);
    items.front().payloadFilename = "lnk/v.png";
    items.front().kind = ClipKind::image;
    writeHistory(items);
    defaults.set("maxHistory", HistoryStore::kMinimumMaxHistory);
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 1));
    store->shutdown();
    EXPECT_EQ(readText(outside / "v.png"), "precious");

    HistoryPersistence persistence(support(), nullptr);
    EXPECT_FALSE(persistence.readPayload("lnk/v.png").has_value());
    EXPECT_FALSE(persistence.payloadPath("lnk/v.png").has_value());
    HistoryPersistence::deletePayloads({"lnk/v.png"}, payloads());
    EXPECT_EQ(readText(outside / "v.png"), "precious");
}

TEST_F(HistoryFileSafety, ALinkedHistoryFileStaysALinkToTheUpdatedFile) {
    const fs::path real = root() / "dotfiles" / "history.json";
    fs::create_directories(real.parent_path());
    fs::create_directories(support());
    fs::create_symlink("../dotfiles/history.json", historyFile());  // relative, and dangling at first

    ASSERT_TRUE(HistoryPersistence::persistHistory(clips(2), historyFile()));
    ASSERT_TRUE(HistoryPersistence::persistHistory(clips(3), historyFile()));
    EXPECT_TRUE(fs::is_symlink(historyFile()));
    EXPECT_EQ(historycodec::decode(readText(real)).items.size(), 3u);
    for (const auto& entry : fs::directory_iterator(real.parent_path()))
        EXPECT_EQ(entry.path().filename(), "history.json") << "no temporary file is left";
}

TEST_F(HistoryFileSafety, AHistoryFileThatCannotBeCopiedGivesTheErrorToast) {
    const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> cases = {
        {"a folder", [](const fs::path& p) { fs::create_directories(p / "inside"); }},
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
    };
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(support());
        fs::create_directories(support());
        make(historyFile());
        auto store = makeStore();
        EXPECT_EQ(store->toastMessage(), HistoryStore::kSaveFailedMessage);
        EXPECT_EQ(store->toastTone(), ToastTone::error);
        store->insert(makeClip("not kept"));
        store->shutdown();
        EXPECT_FALSE(fs::is_regular_file(historyFile())) << "left as it was";
    }
}

TEST_F(HistoryFileSafety, StartUpRemovesOnlyOurOwnStaleTemporaryFiles) {
    const std::vector<std::pair<std::string, bool>> files = {
        {".history.json.tmp-a1B2c3", true},     // a save killed midway
        {".history.json.tmp-0123456789", true},
        {".history.json.tmp-x.y", false},       // not our pattern
        {"history.json.tmp-abc123", false},
        {".history.backup.json.tmp-abc123", false},
        {"Payloads/.history.json.tmp-abc123", false},  // another folder
    };
    for (const auto& [name, _] : files) writeText(support() / name, "partial");
    writeText(root() / "outside", "keep");
    fs::create_symlink(root() / "outside", support() / ".history.json.tmp-link01");

    auto store = makeStore();
    for (const auto& [name, removed] : files) EXPECT_EQ(fs::exists(support() / name), !removed) << name;
    EXPECT_TRUE(fs::is_symlink(support() / ".history.json.tmp-link01"));
    EXPECT_EQ(readText(root() / "outside"), "keep");
}
