#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QTest>
#include <QThreadPool>

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "../history/HistoryStoreTestSupport.h"
#include "legacyimport/PasteNowImporter.h"
#include "legacyimport/PasteNowRowReader.h"
#include "platform/ImageLimits.h"
#include "support/AllocationMeter.h"
#include "support/PasteNowTestDatabase.h"

namespace harbelle::testing {
namespace {

using Row = PasteNowTestDatabase::Row;

constexpr double kReferenceDate = 978307200;

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes encoded(const QImage& image, const char* format) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return Bytes(out.begin(), out.end());
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return int(info.st_mode & 07777);
}

// Every file below a folder with its bytes and mode: what the import must leave untouched.
std::map<std::string, std::pair<Bytes, int>> snapshot(const fs::path& folder) {
    std::map<std::string, std::pair<Bytes, int>> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files[entry.path().string()] = {entry.is_regular_file() ? readFile(entry.path()) : Bytes{}, modeOf(entry.path())};
    return files;
}

class PasteNowImporterTest : public HistoryStoreFixture {
protected:
    fs::path root() const { return temp.path().toStdString(); }
    PasteNowImporter::Locations locations() const {
        return {root() / "home" / "Group Containers" / "Documents", root() / "cache" / "LegacyImport"};
    }

    // Runs the import and lets its hand-back arrive.
    void importInto(HistoryStore& store) {
        PasteNowImporter::importIfNeeded(store, locations());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !store.migrationStatus(); }, 20000));
    }

    const ClipItem* clipWithKey(const HistoryStore& store, std::int64_t key) const {
        for (const auto& clip : store.items())
            if (clip.legacyID == key) return &clip;
        return nullptr;
    }
};

TEST_F(PasteNowImporterTest, ImportsTheHistoryOnceWithoutTouchingTheOutsideFolder) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::standardRows(),
                                PasteNowTestDatabase::standardExternalFiles());
    const fs::path outside = root() / "home";
    const auto before = snapshot(outside);
    ASSERT_TRUE(fs::exists(locations().databaseFile().string() + "-wal"));

    auto store = makeStore();
    PasteNowImporter::importIfNeeded(*store, locations());
    EXPECT_EQ(store->migrationStatus(), "Importing older PasteNow clips…");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->migrationStatus(); }, 20000));

    // Rows 7-10, the second copy of 13 and 14 fail; 6 was removed.
    EXPECT_EQ(store->toastMessage(), "Imported 8 clips; 6 could not be decoded");
    EXPECT_EQ(store->toastTone(), ToastTone::info);
    EXPECT_EQ(defaults.boolValue("pasteNowHistoryImportedV2"), true);
    std::vector<std::int64_t> keys;
    for (const auto& clip : store->items()) keys.push_back(clip.legacyID.value_or(-1));
    EXPECT_EQ(keys, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 11, 12, 13}));

    struct Expected {
        std::int64_t key;
        ClipKind kind;
        std::string text, title, app, importedFrom;
        std::int64_t copyCount;
        bool sensitive;
        std::vector<std::string> paths;
    };
    const std::vector<Expected> expected{
        {1, ClipKind::text, "Hello from the old history \u2318", "Hello from the old history \u2318", "TextEdit",
         "PasteNow", 3, false, {}},
        {2, ClipKind::text, "Skip list row", "Kept HTML", "PasteNow", "PasteNow", 1, false, {}},
        {3, ClipKind::text, "caf\u00e9 \u2603", "caf\u00e9 \u2603", "PasteNow", "PasteNow", 1, false, {}},
        {4, ClipKind::image, "", "Imported image", "PasteNow", "PasteNow", 1, false, {}},
        {5, ClipKind::text, "hunter2", "hunter2", "PasteNow", "PasteNow", 1, true, {}},
        {11, ClipKind::file, "/tmp/old notes.txt", "old notes.txt", "PasteNow", "PasteNow", 1, false,
         {"/tmp/old notes.txt"}},
        {12, ClipKind::color, "#12AB34", "#12AB34", "PasteNow", "PasteNow", 1, false, {}},
        {13, ClipKind::text, "plain XML", "plain XML", "PasteNow", "PasteNow", 1, false, {}},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.key);
        const ClipItem* clip = clipWithKey(*store, e.key);
        ASSERT_TRUE(clip);
        EXPECT_EQ(clip->kind, e.kind);
        EXPECT_EQ(clip->text, e.text);
        EXPECT_EQ(clip->title, e.title);
        EXPECT_EQ(clip->sourceAppName, e.app);
        EXPECT_EQ(clip->importedFrom, e.importedFrom);
        EXPECT_EQ(clip->copyCount, e.copyCount);
        EXPECT_EQ(clip->isSensitive, e.sensitive);
        EXPECT_EQ(clip->fileURLs, e.paths);
        EXPECT_EQ(clip->legacyPayloadFilename, "Legacy/pastenow-" + std::to_string(e.key) + ".lzfse");
        EXPECT_TRUE(clip->searchableText.empty());
        const Bytes archive = readFile(payloads() / *clip->legacyPayloadFilename);
        const bool withArchive = e.kind == ClipKind::image || e.kind == ClipKind::file;
        EXPECT_EQ(clip->fingerprint, ClipItem::makeFingerprint(e.kind, e.text, e.paths, std::nullopt,
                                                               withArchive ? &archive : nullptr));
        EXPECT_EQ(modeOf(payloads() / *clip->legacyPayloadFilename), 0600);
    }
    const ClipItem* first = clipWithKey(*store, 1);
    EXPECT_EQ(first->sourceBundleID, "com.apple.TextEdit");
    EXPECT_EQ(first->createdAt, Date(std::chrono::seconds(700'000'100 + std::int64_t(kReferenceDate))));
    EXPECT_EQ(first->updatedAt, first->createdAt);
    // The archive is kept as stored: compressed.
    EXPECT_EQ(readFile(payloads() / "Legacy/pastenow-1.lzfse"), PasteNowTestDatabase::corpusFile("plist-text-binary.lzfse"));
    EXPECT_EQ(readFile(payloads() / "Legacy/pastenow-3.lzfse"), PasteNowTestDatabase::corpusFile("plist-utf16-type.lzfse"));

    const ClipItem* image = clipWithKey(*store, 4);
    ASSERT_EQ(image->payloadFilename, "LegacyPreviews/pastenow-4.png");
    const Bytes preview = readFile(payloads() / *image->payloadFilename);
    const QImage decoded = QImage::fromData(preview.data(), int(preview.size()), "PNG");
    EXPECT_EQ(decoded.size(), QSize(24, 16));  // the thumbnail, not the archive's image
    EXPECT_EQ(modeOf(payloads() / *image->payloadFilename), 0600);
    EXPECT_EQ(modeOf(payloads() / "Legacy"), 0700);
    EXPECT_EQ(modeOf(payloads() / "LegacyPreviews"), 0700);
    // Nothing of failed rows stays behind, no temporary files either.
    EXPECT_EQ(std::distance(fs::directory_iterator(payloads() / "Legacy"), fs::directory_iterator()), 8);

    // The outside folder is exactly as it was: no shared-memory file, nothing changed.
    EXPECT_EQ(snapshot(outside), before);
    EXPECT_FALSE(fs::exists(locations().databaseFile().string() + "-shm"));
    EXPECT_TRUE(fs::is_empty(locations().cacheFolder));
    EXPECT_EQ(modeOf(locations().cacheFolder), 0700);

    // Saved, and a second launch imports nothing even from a changed database.
    EXPECT_EQ(readHistory().size(), 8u);
    store.reset();
    auto rows = PasteNowTestDatabase::standardRows();
    rows[0].primaryKey = 99;
    fs::remove_all(locations().documentsFolder);
    PasteNowTestDatabase::write(locations().documentsFolder, rows, PasteNowTestDatabase::standardExternalFiles());
    auto second = makeStore();
    PasteNowImporter::importIfNeeded(*second, locations());
    EXPECT_FALSE(second->migrationStatus());
    QTest::qWait(50);
    EXPECT_EQ(second->items().size(), 8u);
}

TEST_F(PasteNowImporterTest, RowRules) {
    const std::string title91(91, 't');
    std::vector<Row> rows;
    auto add = [&](std::int64_t key, std::vector<std::pair<std::string, Bytes>> representations) -> Row& {
        Row row;
        row.primaryKey = key;
        row.timestamp = 700'000'000 - key;
        row.data = PasteNowTestDatabase::inlineBlob(PasteNowTestDatabase::representationList(representations));
        rows.push_back(row);
        return rows.back();
    };
    const auto plain = std::vector<std::pair<std::string, Bytes>>{{"public.utf8-plain-text", bytes("p")}};
    add(1, plain).text = std::string(PasteNowImporter::kMaximumTextBytes + 1, 'a');  // too long: fails
    add(2, plain).text = "bad \xff\xfe utf-8";
    add(3, plain).colorInteger = 0;
    add(4, plain).colorInteger = 16'777'216;
    add(5, plain).copyCount = 0;
    add(6, plain).title = title91;
    add(7, plain).title = title91.substr(1);
    add(8, plain).secondaryType = "com.apple.cocoa.pasteboard.color";
    add(9, plain).baseType = "public.url";
    add(10, plain).text = "https://example.com/page";
    {
        // No thumbnail and only TIFF: the preview is converted.
        QImage tiff(5, 7, QImage::Format_RGB32);
        tiff.fill(Qt::red);
        QByteArray encoded;
        QBuffer buffer(&encoded);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(tiff.save(&buffer, "TIFF"));
        add(11, {{"public.tiff", Bytes(encoded.begin(), encoded.end())}}).baseType = "public.image";
    }
    {
        // A thumbnail that is no image: the representations give the preview.
        Row& r = add(12, {{"public.png", PasteNowTestDatabase::pngImage(3, 2)}});
        r.baseType = "public.image";
        r.thumbnail = PasteNowTestDatabase::inlineBlob(bytes("not an image"));
    }
    {
        Row& r = add(13, {{"public.png", bytes("no PNG either")}});
        r.baseType = "public.image";  // still an image clip, without preview
    }
    add(14, {{"public.file-url", bytes("/abs/one")}, {"public.file-url", bytes("relative")},
             {"public.file-url", bytes("file:///abs/two/")}})
        .baseType = "public.file-url";
    add(15, plain).timestamp = -kReferenceDate - 1;  // 1969
    add(16, plain).timestamp = -kReferenceDate;       // 1970-01-01 exactly
    PasteNowTestDatabase::write(locations().documentsFolder, rows);

    auto store = makeStore();
    importInto(*store);
    EXPECT_EQ(store->toastMessage(), "Imported 14 clips; 2 could not be decoded");
    auto clip = [&](std::int64_t key) {
        const ClipItem* found = clipWithKey(*store, key);
        EXPECT_TRUE(found) << key;
        return found ? *found : ClipItem{};
    };
    EXPECT_FALSE(clipWithKey(*store, 1));
    EXPECT_FALSE(clipWithKey(*store, 15));
    EXPECT_EQ(clip(2).text, "bad \uFFFD\uFFFD utf-8");
    EXPECT_EQ(clip(3).kind, ClipKind::text);
    EXPECT_EQ(clip(4).text, "#000000");
    EXPECT_EQ(clip(4).kind, ClipKind::color);
    EXPECT_EQ(clip(5).copyCount, 1);
    EXPECT_EQ(clip(6).title, std::string(89, 't') + "\u2026");
    EXPECT_EQ(clip(7).title, std::string(90, 't'));
    EXPECT_EQ(clip(8).kind, ClipKind::color);
    EXPECT_EQ(clip(9).kind, ClipKind::link);
    EXPECT_EQ(clip(10).kind, ClipKind::link);  // detected from the text
    EXPECT_EQ(clip(11).payloadFilename, "LegacyPreviews/pastenow-11.png");
    const Bytes converted = readFile(payloads() / "LegacyPreviews/pastenow-11.png");
    EXPECT_EQ(QImage::fromData(converted.data(), int(converted.size()), "PNG").size(), QSize(5, 7));
    const Bytes fromArchive = readFile(payloads() / "LegacyPreviews/pastenow-12.png");
    EXPECT_EQ(QImage::fromData(fromArchive.data(), int(fromArchive.size()), "PNG").size(), QSize(3, 2));
    EXPECT_EQ(clip(13).kind, ClipKind::image);
    EXPECT_FALSE(clip(13).payloadFilename);
    EXPECT_EQ(clip(14).fileURLs, (std::vector<std::string>{"/abs/one", "/abs/two/"}));
    EXPECT_EQ(clip(14).title, "2 files");
    EXPECT_EQ(clip(14).text, "/abs/one\n/abs/two/");
    EXPECT_EQ(clip(16).createdAt, Date{});
}

TEST_F(PasteNowImporterTest, FlagWaitsForASuccessfulSave) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::standardRows(),
                                PasteNowTestDatabase::standardExternalFiles());
    // A folder where the history file belongs: no save can succeed.
    fs::create_directories(historyFile() / "blocked");
    auto store = makeStore();
    importInto(*store);
    EXPECT_EQ(store->toastMessage(), "Imported clips are open, but the history index could not be saved");
    EXPECT_EQ(store->toastTone(), ToastTone::error);
    EXPECT_FALSE(defaults.boolValue("pasteNowHistoryImportedV2"));
}

TEST_F(PasteNowImporterTest, RunFailuresLeaveTheFlagUnsetAndSayWhy) {
    auto store = makeStore();
    // No database: nothing happens, not even the status line.
    PasteNowImporter::importIfNeeded(*store, locations());
    EXPECT_FALSE(store->migrationStatus());

    // A view in place of a table is refused before any query runs.
    fs::create_directories(locations().documentsFolder);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(locations().databaseFile().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db,
                 "CREATE TABLE ZPASTEITEMDATA (Z_PK INTEGER, ZCOMPRESSED INTEGER, ZDATA BLOB);"
                 "CREATE TABLE ZAPPLICATION (Z_PK INTEGER, ZNAME, ZBUNDLEID);"
                 "CREATE VIEW ZPASTEITEM AS WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) "
                 "SELECT x AS Z_PK FROM n;",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    importInto(*store);
    EXPECT_EQ(store->toastMessage(), "The old PasteNow history is safe, but import needs attention");
    EXPECT_EQ(store->toastTone(), ToastTone::error);
    EXPECT_FALSE(defaults.boolValue("pasteNowHistoryImportedV2"));
    EXPECT_TRUE(store->items().empty());
    EXPECT_TRUE(fs::is_empty(locations().cacheFolder));
}

// A run that stopped part-way left files under the names the next run writes: they are
// replaced whole and end 0600, and the names the earlier run never reached are written anew.
TEST_F(PasteNowImporterTest, ARetriedRunReplacesWhatAnEarlierRunLeft) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(8));
    const fs::path legacy = payloads() / "Legacy";
    fs::create_directories(legacy);
    for (const char* leftover : {"pastenow-2.lzfse", "pastenow-7.lzfse"}) {
        std::ofstream(legacy / leftover, std::ios::binary) << "half written";
        ::chmod((legacy / leftover).c_str(), 0644);
    }
    const auto result = PasteNowImporter::importLegacyHistory(payloads(), locations());
    ASSERT_EQ(result.items.size(), 8u);
    EXPECT_EQ(result.failedRows, 0);
    const auto fresh = PasteNowImporter::importLegacyHistory(payloads() / "fresh", locations());
    for (const auto& clip : result.items) {
        SCOPED_TRACE(*clip.legacyPayloadFilename);
        EXPECT_EQ(readFile(payloads() / *clip.legacyPayloadFilename),
                  readFile(payloads() / "fresh" / *clip.legacyPayloadFilename));
        EXPECT_EQ(modeOf(payloads() / *clip.legacyPayloadFilename), 0600);
    }
    // Nothing but the archives: no temporary file stays behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(legacy), fs::directory_iterator()), 8);
}

// Files are written beside the reading: a row whose archive cannot be written (a folder sits
// under its name) is dropped and counted once the run knows, and only that row.
TEST_F(PasteNowImporterTest, ARowWhoseFileCannotBeWrittenFailsAlone) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(8));
    const auto all = PasteNowImporter::importLegacyHistory(payloads() / "fresh", locations());
    ASSERT_EQ(all.items.size(), 8u);
    const fs::path legacy = payloads() / "Legacy";
    const std::set<std::int64_t> blocked{*all.items[2].legacyID, *all.items[7].legacyID};
    for (const auto id : blocked) fs::create_directories(legacy / ("pastenow-" + std::to_string(id) + ".lzfse"));
    std::vector<std::int64_t> expected;
    for (const auto& clip : all.items)
        if (!blocked.count(*clip.legacyID)) expected.push_back(*clip.legacyID);

    // In one run, and in batches of a few rows: each batch is handed over with its files written.
    for (const std::uint64_t memoryBudget : {std::uint64_t{1} << 30, std::uint64_t{3} << 10}) {
        SCOPED_TRACE(memoryBudget);
        auto limits = locations();
        limits.memoryBudgetBytes = memoryBudget;
        std::vector<std::int64_t> imported;
        int batches = 0;
        const auto take = [&](ClipList&& batch) {
            ++batches;
            for (const auto& clip : batch) {
                imported.push_back(*clip.legacyID);
                EXPECT_TRUE(fs::is_regular_file(payloads() / *clip.legacyPayloadFilename));
            }
            return true;
        };
        const auto result = PasteNowImporter::importLegacyHistory(payloads(), limits, nullptr, take);
        take(ClipList(result.items));
        EXPECT_EQ(result.failedRows, 2);
        EXPECT_EQ(imported, expected);
        EXPECT_EQ(batches > 2, memoryBudget < (1u << 20));
    }
}

// Quitting, or the store going first, while the run is still on its thread: its result reaches
// nobody and the import is left for the next launch.
TEST_F(PasteNowImporterTest, AResultWithNobodyToTakeItIsDropped) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(400));
    for (const bool storeGoesFirst : {true, false}) {
        SCOPED_TRACE(storeGoesFirst);
        auto store = makeStore();
        PasteNowImporter::importIfNeeded(*store, locations());
        ASSERT_TRUE(store->migrationStatus());
        if (storeGoesFirst) store.reset();
        else PasteNowImporter::cancelRunningImport();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_FALSE(defaults.boolValue("pasteNowHistoryImportedV2"));
        if (store) {
            EXPECT_TRUE(store->items().empty());
            EXPECT_FALSE(store->toastMessage());
        }
    }
}

TEST_F(PasteNowImporterTest, CancelStopsTheRunAndRemovesTheCopy) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(50));
    std::atomic<bool> cancel{true};
    try {
        PasteNowImporter::importLegacyHistory(payloads(), locations(), &cancel);
        ADD_FAILURE() << "ran";
    } catch (const ImportError& error) {
        EXPECT_EQ(error.code(), ImportError::Code::cancelled);
    }
    EXPECT_TRUE(fs::is_empty(locations().cacheFolder));
    cancel = false;
    EXPECT_EQ(PasteNowImporter::importLegacyHistory(payloads(), locations(), &cancel).items.size(), 50u);
}

}  // namespace
}  // namespace harbelle::testing

namespace harbelle::testing {
namespace {

TEST_F(PasteNowImporterTest, ClipsTrimmedAwayAreNotCountedAndLoseTheirFiles) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(620));
    defaults.setInteger("maxHistory", 500);
    auto store = makeStore();
    importInto(*store);
    // 500 of the 620 are kept; the toast counts those.
    EXPECT_EQ(store->toastMessage(), "Imported 500 older clips");
    EXPECT_EQ(store->items().size(), 500u);
    EXPECT_EQ(defaults.boolValue("pasteNowHistoryImportedV2"), true);
    // The archives of the 120 dropped clips go once the save thread gets to them.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return std::distance(fs::directory_iterator(payloads() / "Legacy"), fs::directory_iterator()) == 500; },
        10000));
}

}  // namespace
}  // namespace harbelle::testing

namespace harbelle::testing {
namespace {

Row textRow(std::int64_t key, const std::string& text) {
    Row row;
    row.primaryKey = key;
    row.timestamp = 700'000'000 + double(key);
    row.text = text;
    row.data = PasteNowTestDatabase::inlineBlob(
        PasteNowTestDatabase::representationList({{"public.utf8-plain-text", bytes(text)}}));
    return row;
}

std::set<std::string> textsOf(const std::vector<ClipItem>& clips) {
    std::set<std::string> texts;
    for (const auto& clip : clips) texts.insert(clip.text);
    return texts;
}

// A stream whose header claims half a gigabyte from one byte; a row of such streams must cost
// what its bytes are worth, not what they claim.
TEST_F(PasteNowImporterTest, LyingArchivesCostWhatTheirBytesAreWorth) {
    const Bytes lie{'b', 'v', 'x', 'n', 0xff, 0xff, 0xff, 0x1f, 1, 0, 0, 0, 0x1e, 'b', 'v', 'x', '$'};
    std::vector<Row> rows;
    for (int key = 1; key <= 200; ++key) {
        Row row = textRow(key, "lie");
        row.compressed = true;
        row.data = PasteNowTestDatabase::inlineBlob(lie);
        rows.push_back(row);
    }
    rows.push_back(textRow(500, "the good one"));
    PasteNowTestDatabase::write(locations().documentsFolder, rows);

    const auto start = std::chrono::steady_clock::now();
    AllocationMeter meter;
    const auto result = PasteNowImporter::importLegacyHistory(payloads(), locations());
    const std::size_t peak = meter.peakBytes();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(textsOf(result.items), std::set<std::string>{"the good one"});
    EXPECT_EQ(result.failedRows, 200);
    EXPECT_LT(peak, std::size_t{200} << 20);
    EXPECT_LT(took, std::chrono::seconds(2));
}

// A writer that died mid-transaction left its rows in the file and the journal that undoes
// them: only what was committed is imported, and the outside folder is left as it was.
TEST_F(PasteNowImporterTest, AHotJournalIsRolledBackInThePrivateCopy) {
    PasteNowTestDatabase::write(locations().documentsFolder,
                                {textRow(1, "committed one"), textRow(2, "committed two")});
    std::vector<Row> uncommitted;
    for (int key = 100; key < 400; ++key) uncommitted.push_back(textRow(key, "uncommitted " + std::string(600, 'u')));
    PasteNowTestDatabase::leaveHotJournal(locations().documentsFolder, uncommitted);
    ASSERT_TRUE(fs::exists(locations().databaseFile().string() + "-journal"));
    const auto before = snapshot(root() / "home");

    const auto result = PasteNowImporter::importLegacyHistory(payloads(), locations());
    EXPECT_EQ(textsOf(result.items), (std::set<std::string>{"committed one", "committed two"}));
    EXPECT_EQ(snapshot(root() / "home"), before);
    EXPECT_TRUE(fs::is_empty(locations().cacheFolder));

    // A journal that names a super-journal would send SQLite to another file: refused.
    const fs::path journal = locations().databaseFile().string() + "-journal";
    std::ofstream(journal, std::ios::binary | std::ios::app)
        << std::string("/elsewhere/file") << std::string("\0\0\0\x0f\0\0\0\0", 8)
        << std::string("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8);
    EXPECT_THROW(PasteNowImporter::importLegacyHistory(payloads(), locations()), ImportError);
}

// Computed values are refused by the schema check before a row is read: a generated column
// could build hundreds of megabytes per row from a few bytes of schema.
TEST_F(PasteNowImporterTest, ComputedColumnsTriggersAndViewsAreRefusedBeforeAnyRow) {
    const std::vector<std::pair<const char*, const char*>> cases{
        {"generated text",
         "ALTER TABLE ZPASTEITEM RENAME COLUMN ZTEXT TO ZSTORED;"
         "ALTER TABLE ZPASTEITEM ADD COLUMN ZTEXT GENERATED ALWAYS AS (printf('%.*c', 400000000, 'x')) VIRTUAL;"},
        {"trigger", "CREATE TRIGGER t AFTER DELETE ON ZPASTEITEM BEGIN SELECT 1; END;"},
        {"view on a table's name",
         "DROP TABLE ZAPPLICATION; CREATE VIEW ZAPPLICATION AS SELECT 1 AS Z_PK, 'x' AS ZNAME, 'y' AS ZBUNDLEID;"},
    };
    for (const auto& [what, sql] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(locations().documentsFolder);
        PasteNowTestDatabase::write(locations().documentsFolder, {textRow(1, "one")});
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(locations().databaseFile().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
        AllocationMeter meter;
        try {
            PasteNowImporter::importLegacyHistory(payloads(), locations());
            ADD_FAILURE() << "imported";
        } catch (const ImportError& error) {
            EXPECT_EQ(error.code(), ImportError::Code::openDatabase);
            EXPECT_NE(std::string(error.what()).find("unexpected schema"), std::string::npos) << error.what();
        }
        EXPECT_LT(meter.peakBytes(), std::size_t{20} << 20);
    }
}

// A link to the database is read through into the private copy; thumbnails are kept as their
// bytes, named for what they are; keys the import ignores may nest as deep as they like; every
// clip says "PasteNow".
TEST_F(PasteNowImporterTest, LinksThumbnailsAndIgnoredKeys) {
    const fs::path real = root() / "elsewhere";
    Row image = textRow(1, "");
    image.baseType = "public.image";
    // Far larger than it is heavy: decoding it would cost a gigabyte.
    Bytes thumbnail = PasteNowTestDatabase::pngImage(3, 2);
    thumbnail[16] = 0, thumbnail[17] = 0, thumbnail[18] = 0x3e, thumbnail[19] = 0x80;  // 16000 wide
    image.thumbnail = PasteNowTestDatabase::inlineBlob(thumbnail);
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += "<array>";
    for (int i = 0; i < 20; ++i) deep += "</array>";
    Row nested = textRow(2, "nested");
    nested.data = PasteNowTestDatabase::inlineBlob(bytes(
        "<plist><array><dict><key>extra</key>" + deep +
        "<key>type</key><string>public.utf8-plain-text</string><key>data</key><data>bmVzdGVk</data></dict>"
        "</array></plist>"));
    // A JPEG thumbnail keeps its bytes under a name that says JPEG.
    Row jpeg = image;
    jpeg.primaryKey = 3;
    QImage small(4, 4, QImage::Format_RGB32);
    small.fill(Qt::blue);
    jpeg.thumbnail = PasteNowTestDatabase::inlineBlob(encoded(small, "JPG"));
    PasteNowTestDatabase::write(real, {image, nested, jpeg});
    fs::create_directories(locations().documentsFolder);
    fs::create_symlink(real / "PasteNow.sqlite", locations().databaseFile());
    ASSERT_TRUE(fs::exists(real / "PasteNow.sqlite-wal"));  // the rows are in the log beside the target

    auto store = makeStore();
    importInto(*store);
    EXPECT_EQ(defaults.boolValue("pasteNowHistoryImportedV2"), true);
    ASSERT_EQ(store->items().size(), 3u);
    const ClipItem* kept = clipWithKey(*store, 1);
    ASSERT_TRUE(kept && kept->payloadFilename);
    EXPECT_EQ(readFile(payloads() / *kept->payloadFilename), thumbnail);
    EXPECT_EQ(clipWithKey(*store, 3)->payloadFilename, "LegacyPreviews/pastenow-3.jpg");
    ASSERT_TRUE(clipWithKey(*store, 2));
    for (const auto& clip : store->items()) EXPECT_EQ(clip.importedFrom, "PasteNow");
    EXPECT_TRUE(fs::is_symlink(locations().databaseFile()));
}

// Past its disk or time budget the run fails as a whole, with the usual toast, and is
// tried again at the next launch.
TEST_F(PasteNowImporterTest, ARunPastItsBudgetFailsWithTheUsualToast) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(50));
    for (const bool time : {false, true}) {
        SCOPED_TRACE(time);
        auto limited = locations();
        if (time)
            limited.timeBudget = std::chrono::milliseconds(0);
        else
            limited.diskBudgetBytes = 4096;
        defaults.removeObject("pasteNowHistoryImportStopped");
        auto store = makeStore();
        PasteNowImporter::importIfNeeded(*store, limited);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !store->migrationStatus(); }, 20000));
        EXPECT_TRUE(store->toastMessage()->starts_with("The old PasteNow history is safe, but import needs attention"));
        EXPECT_TRUE(store->items().empty());
        EXPECT_FALSE(defaults.boolValue("pasteNowHistoryImportedV2"));
    }
}

}  // namespace
}  // namespace harbelle::testing

namespace harbelle::testing {
namespace {

// The merge goes in steps: the list takes the whole batch in one of them, the flag waits for
// the write. Quitting between the two keeps the clips (the quit's own save writes them), leaves
// the flag unset, and the next launch's run adds nothing twice.
TEST_F(PasteNowImporterTest, AQuitInTheMiddleOfTheMergeLosesNothingAndImportsNothingTwice) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(900));
    auto store = makeStore();
    PasteNowImporter::importIfNeeded(*store, locations());
    bool sawEmpty = false;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        sawEmpty = sawEmpty || store->items().empty();
        return !store->items().empty();
    }, 20000));
    EXPECT_TRUE(sawEmpty);
    // The whole batch at once, never part of it.
    EXPECT_EQ(store->items().size(), 900u);
    const bool mergeStillRunning = bool(store->migrationStatus());
    store->shutdown();
    store.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (mergeStillRunning) {
        EXPECT_FALSE(defaults.boolValue("pasteNowHistoryImportedV2"));
    }
    EXPECT_EQ(readHistory().size(), 900u);

    auto next = makeStore();
    EXPECT_EQ(next->items().size(), 900u);
    if (!defaults.boolValue("pasteNowHistoryImportedV2").value_or(false)) importInto(*next);
    EXPECT_EQ(defaults.boolValue("pasteNowHistoryImportedV2"), true);
    EXPECT_EQ(next->items().size(), 900u);
    std::set<std::int64_t> keys;
    for (const auto& clip : next->items()) keys.insert(*clip.legacyID);
    EXPECT_EQ(keys.size(), 900u);
    // The archives the list names are all there.
    for (const auto& clip : next->items()) ASSERT_TRUE(fs::exists(payloads() / *clip.legacyPayloadFilename));
}

}  // namespace
}  // namespace harbelle::testing

namespace harbelle::testing {
namespace {

// Bytes this process handed to write(2) so far, on every thread.
std::uint64_t bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "wchar:") return value;
    return 0;
}

// The peak of resident memory since the last reset, above what was resident at the reset.
struct ResidentPeak {
    static std::uint64_t field(const char* name) {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind(name, 0) == 0) return std::stoull(line.substr(std::strlen(name))) << 10;
        return 0;
    }
    std::uint64_t start = (std::ofstream("/proc/self/clear_refs") << "5", field("VmRSS:"));
    std::uint64_t growth() const { return field("VmHWM:") - std::min(start, field("VmHWM:")); }
};

// Outside databases built to cost the import more than their size: each is refused, or read
// within bounds of memory and disk, and what is imported is what was there.
TEST_F(PasteNowImporterTest, HostileDatabasesAreReadWithinBounds) {
    const int imageLimit = QImageReader::allocationLimit();
    const std::string xmlData(24 << 20, 'A');
    struct Case {
        const char* what;
        std::function<void(const fs::path& documents, PasteNowImporter::Locations&)> make;
        std::optional<ImportError::Code> fails;  // else imported
        std::uint64_t mostWritten;
        std::uint64_t mostResident;
        std::function<void(const PasteNowImporter::ImportResult&)> check;
    };
    const fs::path externalArchive = "11111111-2222-4333-8444-555555555555";
    const QTemporaryDir elsewhere("/dev/shm/harbelle-cache-XXXXXX");  // memory-backed, where it is there
    const std::vector<Case> cases{
        {"a log that is mostly holes",
         [](const fs::path& documents, auto&) {
             PasteNowTestDatabase::write(documents, {textRow(1, "one")});
             fs::resize_file(documents / "PasteNow.sqlite-wal", std::uint64_t{1} << 30);
         },
         ImportError::Code::overBudget, 1 << 20, 64 << 20, nullptr},
        {"a database larger than the disk budget",
         [](const fs::path& documents, auto& limits) {
             PasteNowTestDatabase::write(documents, PasteNowTestDatabase::bulkRows(200));
             limits.diskBudgetBytes = 64 << 10;
         },
         ImportError::Code::overBudget, 64 << 10, 64 << 20, nullptr},
        {"archives that together pass the disk budget",
         [](const fs::path& documents, auto& limits) {
             std::vector<Row> rows;
             std::vector<std::pair<std::string, Bytes>> files;
             for (int key = 1; key <= 8; ++key) {
                 const std::string uuid = "11111111-2222-4333-8444-00000000000" + std::to_string(key);
                 Row row = textRow(key, "large " + std::to_string(key));
                 row.data = PasteNowTestDatabase::externalBlob(uuid);
                 rows.push_back(row);
                 files.emplace_back(uuid, PasteNowTestDatabase::representationList({{"public.data", Bytes(512 << 10, 'x')}}));
             }
             PasteNowTestDatabase::write(documents, rows, files);
             limits.diskBudgetBytes = 2 << 20;
         },
         ImportError::Code::overBudget, 2 << 20, 64 << 20, nullptr},
        {"a damaged table",
         [](const fs::path& documents, auto&) {
             PasteNowTestDatabase::write(documents, {textRow(1, "one"), textRow(2, "two"), textRow(3, "three")});
             sqlite3* db = nullptr;
             sqlite3_open(documents.string().append("/PasteNow.sqlite").c_str(), &db);
             int page = 0;
             sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE); SELECT rootpage FROM sqlite_schema WHERE name = 'ZPASTEITEM'",
                          [](void* p, int, char** v, char**) { return *static_cast<int*>(p) = std::atoi(v[0]), 0; }, &page,
                          nullptr);
             sqlite3_close(db);
             // One cell fewer on the table's only page: a row goes missing without an error.
             std::fstream file(documents / "PasteNow.sqlite", std::ios::in | std::ios::out | std::ios::binary);
             file.seekg(std::streamoff(page - 1) * 4096 + 4);
             const char cells = char(file.get() - 1);
             file.seekp(std::streamoff(page - 1) * 4096 + 4).put(cells);
         },
         ImportError::Code::openDatabase, 1 << 20, 64 << 20, nullptr},
        {"dates in the future",
         [](const fs::path& documents, auto&) {
             Row late = textRow(1, "2199"), later = textRow(2, "2300");
             late.timestamp = 6'900'000'000 - kReferenceDate;
             later.timestamp = 10'400'000'000 - kReferenceDate;
             PasteNowTestDatabase::write(documents, {late, later});
         },
         std::nullopt, 1 << 20, 64 << 20,
         [](const auto& result) {
             ASSERT_EQ(result.items.size(), 2u);
             for (const auto& clip : result.items) EXPECT_LE(clip.createdAt, Date::clock::now());
         }},
        {"a property list of 24 MB",
         [&](const fs::path& documents, auto&) {
             Row row = textRow(1, "big");
             row.data = PasteNowTestDatabase::inlineBlob(bytes(
                 "<plist><array><dict><key>type</key><string>public.data</string><key>data</key><data>" + xmlData +
                 "</data></dict></array></plist>"));
             PasteNowTestDatabase::write(documents, {row});
         },
         std::nullopt, 80 << 20, 330 << 20,
         [](const auto& result) { EXPECT_EQ(result.items.size(), 1u); }},
        {"an archive that unpacks to 200 MB",
         [](const fs::path& documents, auto&) {
             // 'A', three more from one back, then matches of 271 from there.
             Bytes ops{0xe1, 'A', 0x00, 0x01};
             constexpr std::uint32_t kMatches = (200u << 20) / 271;
             for (std::uint32_t i = 0; i < kMatches; ++i) ops.insert(ops.end(), {0xf0, 0xff});
             ops.insert(ops.end(), {0x06, 0, 0, 0, 0, 0, 0, 0});
             Bytes lzfse{'b', 'v', 'x', 'n'};
             for (const std::uint32_t v : {4 + 271 * kMatches, std::uint32_t(ops.size())})
                 for (int b = 0; b < 4; ++b) lzfse.push_back(std::uint8_t(v >> (8 * b)));
             lzfse.insert(lzfse.end(), ops.begin(), ops.end());
             lzfse.insert(lzfse.end(), {'b', 'v', 'x', '$'});
             Row row = textRow(1, "bomb");
             row.compressed = true;
             row.data = PasteNowTestDatabase::inlineBlob(lzfse);
             PasteNowTestDatabase::write(documents, {row, textRow(2, "fine")});
         },
         std::nullopt, 4 << 20, 64 << 20,
         [](const auto& result) {
             EXPECT_EQ(textsOf(result.items), std::set<std::string>{"fine"});
             EXPECT_EQ(result.failedRows, 1);
         }},
        {"an image of 10001 x 10001 pixels",
         [](const fs::path& documents, auto&) {
             raiseImageAllocationLimit();  // as the program runs
             QImage image(10001, 10001, QImage::Format_Mono);
             image.fill(0);
             Row row = textRow(1, "");
             row.baseType = "public.image";
             row.data = PasteNowTestDatabase::inlineBlob(
                 PasteNowTestDatabase::representationList({{"public.tiff", encoded(image, "PNG")}}));
             PasteNowTestDatabase::write(documents, {row});
         },
         std::nullopt, 1 << 20, 64 << 20,
         [](const auto& result) {
             ASSERT_EQ(result.items.size(), 1u);
             EXPECT_EQ(result.items[0].kind, ClipKind::image);
             EXPECT_FALSE(result.items[0].payloadFilename);  // never decoded
         }},
        {"one external archive of 8 MB named by 40 rows",
         [&](const fs::path& documents, auto&) {
             std::vector<Row> rows;
             for (int key = 1; key <= 40; ++key) {
                 Row row = textRow(key, "shared " + std::to_string(key));
                 row.data = PasteNowTestDatabase::externalBlob(externalArchive.string());
                 rows.push_back(row);
             }
             PasteNowTestDatabase::write(
                 documents, rows,
                 {{externalArchive.string(), PasteNowTestDatabase::representationList(
                                                 {{"public.data", Bytes(8 << 20, 'x')}})}});
         },
         std::nullopt, 16 << 20, 160 << 20,
         [&](const auto& result) {
             ASSERT_EQ(result.items.size(), 40u);
             for (const auto& clip : result.items)
                 EXPECT_EQ(fs::file_size(payloads() / *clip.legacyPayloadFilename), fs::file_size(
                     locations().externalDataFolder() / externalArchive));
         }},
        {"the private copy on another file system, made through a buffer",
         [&](const fs::path& documents, auto& limits) {
             PasteNowTestDatabase::write(documents, PasteNowTestDatabase::bulkRows(200));
             if (elsewhere.isValid()) limits.cacheFolder = elsewhere.path().toStdString();
         },
         std::nullopt, 4 << 20, 64 << 20, [](const auto& result) { EXPECT_EQ(result.items.size(), 200u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root() / "home");
        fs::remove_all(payloads());
        auto limits = locations();
        c.make(limits.documentsFolder, limits);
        const std::uint64_t writtenBefore = bytesWritten();
        ResidentPeak resident;
        std::optional<PasteNowImporter::ImportResult> result;
        std::optional<ImportError::Code> failure;
        try {
            result = PasteNowImporter::importLegacyHistory(payloads(), limits);
        } catch (const ImportError& error) {
            failure = error.code();
        }
        EXPECT_LE(resident.growth(), c.mostResident);
        EXPECT_LE(bytesWritten() - writtenBefore, c.mostWritten);
        EXPECT_EQ(failure, c.fails);
        if (result && c.check) c.check(*result);
        EXPECT_TRUE(fs::is_empty(limits.cacheFolder));
    }
    QImageReader::setAllocationLimit(imageLimit);
}

// An index that misses rows of its table passes the quick check: the rows are read from the
// table, whichever index the outside program kept (by date, or by the item-data key).
TEST_F(PasteNowImporterTest, EveryRowIsReadWhenAnIndexMissesSome) {
    for (const char* column : {"ZTIMESTAMP", "ZITEMDATA"}) {
        SCOPED_TRACE(column);
        fs::remove_all(root() / "home");
        std::vector<Row> rows;
        for (int key = 1; key <= 300; ++key) rows.push_back(textRow(key, "row " + std::to_string(key)));
        PasteNowTestDatabase::write(locations().documentsFolder, rows);
        // Made partial, then declared whole: one row in 30 is in the table alone.
        const std::string index = std::string("ZPASTEITEM_") + column + "_INDEX";
        const std::string sql = "CREATE INDEX " + index + " ON ZPASTEITEM (" + column + ")";
        sqlite3* db = nullptr;
        sqlite3_open(locations().databaseFile().c_str(), &db);
        sqlite3_exec(db, (sql + " WHERE Z_PK % 30 <> 0; PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql = '" +
                          sql + "' WHERE name = '" + index + "'").c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(db);

        const auto result = PasteNowImporter::importLegacyHistory(payloads(), locations());
        EXPECT_EQ(result.items.size(), rows.size());
        EXPECT_EQ(result.failedRows, 0);
    }
}

// The outside program checkpoints or writes while the copy is made, between the database file
// and its log: what is read is a state the database really had, with every row committed before
// the run began, or the run fails and is tried again.
TEST_F(PasteNowImporterTest, ADatabaseThatChangesWhileItIsCopiedIsReadWholeOrNotAtAll) {
    std::vector<Row> rows;
    for (int key = 1; key <= 200; ++key) rows.push_back(textRow(key, "row " + std::to_string(key)));
    const auto change = [&](const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open(locations().databaseFile().c_str(), &db);
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    struct Case {
        const char* what;
        int changedCopies;
        std::optional<ImportError::Code> fails;
        int copies;
    };
    const Case cases[] = {
        // The copied file still lacks the rows the checkpoint moved out of the copied log.
        {"a checkpoint in the first copy", 1, std::nullopt, 2},
        {"a write in every copy", 100, ImportError::Code::openDatabase, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root() / "home");
        PasteNowTestDatabase::write(locations().documentsFolder, rows);
        auto limits = locations();
        int copies = 0;
        limits.whileCopying = [&] {
            if (copies++ < c.changedCopies)
                change(copies == 1 ? "PRAGMA wal_checkpoint(TRUNCATE)"
                                   : ("INSERT INTO ZPASTEITEM (Z_PK, ZTIMESTAMP, ZITEMDATA, ZTEXT) VALUES (" +
                                      std::to_string(5000 + copies) + ", 800000000, 1, 'late')"));
        };
        std::optional<ImportError::Code> failure;
        try {
            const auto result = PasteNowImporter::importLegacyHistory(payloads(), limits);
            std::set<std::int64_t> keys;
            for (const auto& clip : result.items) keys.insert(*clip.legacyID);
            EXPECT_EQ(std::distance(keys.begin(), keys.upper_bound(200)), 200);  // every one of 1-200
        } catch (const ImportError& error) {
            failure = error.code();
        }
        EXPECT_EQ(failure, c.fails);
        EXPECT_EQ(copies, c.copies);
    }
}

// Many small rows into a new user's history: the run, its batches and their merges together
// stay within the run's memory budget, whatever the clips cost beyond their texts.
TEST_F(PasteNowImporterTest, ManySmallRowsStayWithinTheMemoryBudget) {
    std::vector<Row> rows;
    for (int key = 1; key <= 30'000; ++key) rows.push_back(textRow(key, "small " + std::to_string(key)));
    PasteNowTestDatabase::write(locations().documentsFolder, rows);
    rows = {};
    auto limited = locations();
    limited.memoryBudgetBytes = 24 << 20;
    auto store = makeStore();
    AllocationMeter meter;
    PasteNowImporter::importIfNeeded(*store, limited);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->migrationStatus(); }, 60000));
    EXPECT_LE(meter.peakBytes(), limited.memoryBudgetBytes);
    EXPECT_EQ(defaults.boolValue("pasteNowHistoryImportedV2"), true);
    EXPECT_EQ(store->items().front().legacyID, 30'000);
}

// A run stopped by a budget says why and is not run again on the same database; a history too
// large for one batch of the memory budget arrives in batches.
TEST_F(PasteNowImporterTest, BudgetsStopARunOnceAndLargeHistoriesArriveInBatches) {
    PasteNowTestDatabase::write(locations().documentsFolder, PasteNowTestDatabase::bulkRows(50));
    auto limited = locations();
    limited.diskBudgetBytes = 16 << 10;
    auto store = makeStore();
    PasteNowImporter::importIfNeeded(*store, limited);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->migrationStatus(); }, 20000));
    EXPECT_EQ(store->toastMessage(),
              "The old PasteNow history is safe, but import needs attention: the old database is larger than 16.0 kB. "
              "It is tried again once the old history changes.");
    PasteNowImporter::importIfNeeded(*store, limited);
    EXPECT_FALSE(store->migrationStatus());  // the same database is not read again

    fs::remove_all(locations().documentsFolder);
    std::vector<Row> rows;
    for (int key = 1; key <= 12; ++key) rows.push_back(textRow(key, std::string(1 << 20, char('a' + key))));
    PasteNowTestDatabase::write(locations().documentsFolder, rows);
    limited = locations();
    limited.memoryBudgetBytes = 4 << 20;
    store.reset();
    auto fresh = makeStore();
    PasteNowImporter::importIfNeeded(*fresh, limited);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fresh->migrationStatus(); }, 20000));
    EXPECT_EQ(defaults.boolValue("pasteNowHistoryImportedV2"), true);
    EXPECT_EQ(fresh->items().size(), 12u);
    EXPECT_EQ(fresh->toastMessage(), "Imported 12 older clips");
}

// The primary keys the run has seen stay for the whole run: they count in its memory budget.
TEST_F(PasteNowImporterTest, TheKeysSeenCountInTheMemoryBudget) {
    std::vector<Row> rows;
    for (int key = 1; key <= 2'000; ++key) rows.push_back(textRow(key, "k"));
    PasteNowTestDatabase::write(locations().documentsFolder, rows);
    std::uint64_t clipBytes = 0;
    for (const auto& clip : PasteNowImporter::importLegacyHistory(payloads(), locations()).items)
        clipBytes += pastenowrows::heldBytesOf(clip);
    auto limited = locations();
    limited.memoryBudgetBytes = clipBytes + (16 << 10);  // the clips fit, their 2,000 keys do not
    try {
        PasteNowImporter::importLegacyHistory(payloads(), limited);
        ADD_FAILURE() << "ran";
    } catch (const ImportError& error) {
        EXPECT_EQ(error.code(), ImportError::Code::overBudget);
    }
}

}  // namespace
}  // namespace harbelle::testing
