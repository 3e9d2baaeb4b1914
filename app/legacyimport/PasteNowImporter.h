#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "history/ClipItem.h"
#include "history/ClipList.h"
#include "legacyimport/LegacyArchive.h"
#include "platform/Pasteboard.h"

namespace harbelle {

class HistoryStore;

// The one-time import of the outside application's history into the store.
class PasteNowImporter {
public:
    static constexpr const char* kImportedKey = "pasteNowHistoryImportedV2";
    // Why the last run stopped at one of its budgets, and the database it was run on: that same
    // database is not copied and read again at every launch.
    static constexpr const char* kStoppedKey = "pasteNowHistoryImportStopped";
    static constexpr const char* kSourceName = "PasteNow";
    static constexpr const char* kStatusText = "Importing older PasteNow clips…";
    static constexpr const char* kDatabaseName = "PasteNow.sqlite";
    // The rows and columns read; the run reads them in table order, each long value measured.
    static constexpr const char* kQuery =
        "SELECT\n"
        "    i.Z_PK,\n"
        "    i.ZTIMESTAMP,\n"
        "    COALESCE(i.ZCOPYCOUNT, 1),\n"
        "    i.ZCOLORHEX,\n"
        "    i.ZBASEUNIFORMTYPE,\n"
        "    i.ZSECONDARYUNIFORMTYPE,\n"
        "    i.ZCHECKSUM,\n"
        "    i.ZTEXT,\n"
        "    i.ZTITLE,\n"
        "    i.ZFILEURLDATA,\n"
        "    i.ZTHUMBNAILIMAGE,\n"
        "    d.ZCOMPRESSED,\n"
        "    d.ZDATA,\n"
        "    a.ZNAME,\n"
        "    a.ZBUNDLEID\n"
        "FROM ZPASTEITEM i\n"
        "JOIN ZPASTEITEMDATA d ON d.Z_PK = i.ZITEMDATA\n"
        "LEFT JOIN ZAPPLICATION a ON a.Z_PK = i.ZAPP\n"
        "WHERE COALESCE(i.ZREMOVEDFROMALL, 0) = 0\n"
        "ORDER BY i.ZTIMESTAMP DESC, i.Z_PK DESC";
    // Longest text column a row may have.
    static constexpr std::size_t kMaximumTextBytes = 10u << 20;
    // Largest thumbnail kept as the preview of an image row.
    static constexpr std::size_t kMaximumPreviewBytes = 32u << 20;

    // Where the outside database lies and where its private copy is made.
    struct Locations {
        // The outside application's Documents folder (never written).
        std::filesystem::path documentsFolder;
        // A folder of ours in which a private copy of the database is made and removed again.
        std::filesystem::path cacheFolder;
        // What the run may take: the memory its clips hold at once (each clip's record and the
        // blocks of its strings) with the keys it has seen (a run that hands its clips over in
        // batches hands one over at half of it, leaving the rest to the merge), the bytes it
        // writes (the private copy, archives, previews) and its time. Past any of them the run
        // fails, as any failed run does.
        std::uint64_t memoryBudgetBytes = std::uint64_t{1} << 30;
        std::uint64_t diskBudgetBytes = std::uint64_t{4} << 30;
        std::chrono::milliseconds timeBudget{std::chrono::minutes(10)};
        // Runs while the database is copied, after its file and before its log: where a test
        // changes the database as the outside program would.
        std::function<void()> whileCopying;
        std::filesystem::path databaseFile() const { return documentsFolder / kDatabaseName; }
        std::filesystem::path externalDataFolder() const {
            return documentsFolder / ".PasteNow_SUPPORT" / "_EXTERNAL_DATA";
        }
    };
    // $HOME/Library/Group Containers/<group container>/Documents, and our cache folder.
    static Locations defaultLocations();

    struct ImportResult {
        ClipList items;  // in table order
        std::int64_t failedRows = 0;
    };

    // Starts the import when it has not completed before and the outside database exists;
    // returns at once. Start-up calls it at most once per process and never in demo mode.
    static void importIfNeeded(HistoryStore& store);
    static void importIfNeeded(HistoryStore& store, const Locations& locations);
    // Quitting: a running import stops at its next row or query step, its result is dropped.
    static void cancelRunningImport();

    // Takes a batch of clips (in table order, their files written) and returns once it is merged
    // and saved; false stops the run.
    using BatchSink = std::function<bool(ClipList&& batch)>;

    // The background run: reads every row into clips and writes their archive and preview files
    // below `payloadsURL`. Throws ImportError for the run as a whole. Touches no store state.
    // With `handBatch`, clips holding half the memory budget go to it and the run goes on; what
    // is left is the result.
    static ImportResult importLegacyHistory(const std::filesystem::path& payloadsURL, const Locations& locations,
                                            const std::atomic<bool>* cancel = nullptr,
                                            const BatchSink& handBatch = {});

    // An imported clip's clipboard item, rebuilt from its archive; what the store's
    // `makeLegacyPasteboardItem` is set to.
    static std::optional<PasteboardObject> makeLegacyPasteboardItem(const ClipItem& clip,
                                                                    const std::filesystem::path& payloadsURL,
                                                                    bool plainText);

    // Row helpers, public for their tests.
    static std::vector<std::string> extractFileURLs(const std::vector<LegacyRepresentation>& representations);
    static std::optional<Bytes> makePNGPreview(const std::vector<LegacyRepresentation>& representations);
    static std::string makeTitle(const std::string& legacyTitle, const std::string& bodyText, ClipKind kind,
                                 const std::vector<std::string>& fileURLs);
    // Any image format Qt reads, within the image allocation limit, as PNG; nothing otherwise.
    static std::optional<Bytes> reencodedAsPNG(const Bytes& image);
    // True for bytes that start as a PNG or a JPEG file does: a thumbnail kept as it is.
    static bool looksLikePreviewImage(const Bytes& image);

    PasteNowImporter() = delete;
};

}  // namespace harbelle
