// A store handed a read of its history file made earlier (at launch, on another thread) ends up
// as one that read the file itself, and ignores that read once the file changed.
#include "HistoryStoreTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;

namespace {

std::vector<std::string> textsOf(const HistoryStore& store) {
    std::vector<std::string> texts;
    for (const auto& clip : store.items()) texts.emplace_back(clip.text);
    return texts;
}

}  // namespace

class HistoryStorePrefetch : public HistoryStoreFixture {
protected:
    std::unique_ptr<HistoryStore> makeStoreWith(std::optional<HistoryFileRead> read) {
        HistoryStoreOptions options;
        options.prefetchedHistory = [read = std::move(read)] { return read; };
        return makeStore(std::move(options));
    }
    HistoryFileRead readNow() const {
        return HistoryPersistence::readHistoryFileInBackground(historyFile()).get();
    }
    void writeTexts(const std::vector<std::string>& texts) {
        std::vector<ClipItem> clips;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            ClipItem clip = makeClip(texts[i]);
            clip.createdAt = clock.now() - std::chrono::seconds(i);
            clips.push_back(clip);
        }
        writeHistory(clips);
    }
};

TEST_F(HistoryStorePrefetch, TakesAReadOfTheUnchangedFileOrReadsAgain) {
    struct Case {
        const char* name;
        bool fileBefore;                      // the file exists when the read is made
        std::optional<std::string> afterRead;  // then replaced by a history with this one clip
        bool otherFile;                        // the read was of another path
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"unchanged", true, std::nullopt, false, {"newest", "older"}},
        {"replaced after the read", true, "replacement", false, {"replacement"}},
        {"created after the read", false, "replacement", false, {"replacement"}},
        {"missing throughout", false, std::nullopt, false, {}},
        {"read of another file", true, std::nullopt, true, {"newest", "older"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(support());
        if (c.fileBefore) writeTexts({"newest", "older"});
        HistoryFileRead read = readNow();
        if (c.otherFile) {
            read.file = support() / "other.json";
            read.items = ClipList{};
        }
        if (c.afterRead) writeTexts({*c.afterRead});
        auto store = makeStoreWith(read);
        EXPECT_EQ(textsOf(*store), c.expected);
        EXPECT_FALSE(store->toastMessage());
    }
}

TEST_F(HistoryStorePrefetch, ARefusedFileIsSetAsideAsWhenTheStoreReadsIt) {
    fs::create_directories(payloads());
    std::ofstream(historyFile()) << "{ not json";
    writePayloadFile("precious.png");
    const HistoryFileRead read = readNow();
    ASSERT_FALSE(read.items);
    ASSERT_FALSE(read.missing);

    auto store = makeStoreWith(read);
    EXPECT_TRUE(store->items().empty());
    EXPECT_EQ(store->toastMessage(), "History file was preserved for recovery");
    EXPECT_TRUE(fs::exists(support() / "history.backup.json"));
    EXPECT_TRUE(fs::exists(payloads() / "precious.png"));
    // Nothing is written over the refused file.
    std::ifstream in(historyFile());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{ not json");
}

TEST_F(HistoryStorePrefetch, ATakenReadIsRepairedAndSavedLikeAFreshOne) {
    ClipItem local = makeClip("local");
    local.sourceDeviceName = "Old name";
    writeHistory({local});
    auto store = makeStoreWith(readNow());
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 1));
    const auto saved = readHistory();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].sourceDeviceID, MacClipDeviceIdentity::current(defaults).id);
    EXPECT_EQ(store->selectedID(), local.id);
}

TEST_F(HistoryStorePrefetch, DemoModeNeverAsksForTheRead) {
    writeTexts({"stored"});
    bool asked = false;
    HistoryStoreOptions options;
    options.demoMode = true;
    options.prefetchedHistory = [&asked] {
        asked = true;
        return std::optional<HistoryFileRead>();
    };
    auto store = makeStore(std::move(options));
    EXPECT_FALSE(asked);
    EXPECT_FALSE(store->items().empty());
}
