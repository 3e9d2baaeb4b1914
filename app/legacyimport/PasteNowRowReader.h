#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "history/ClipItem.h"
#include "legacyimport/LegacyFileWriter.h"
#include "legacyimport/PasteNowImporter.h"

namespace harbelle::pastenowrows {

inline constexpr const char* kLegacyFolder = "Legacy";
inline constexpr const char* kPreviewFolder = "LegacyPreviews";

// The query the run steps through: each long value measured before it is fetched, and every
// item row read from its table, never through an index.
std::string readingQuery(sqlite3* db);

// How many clips the run is likely to build, within a bound a hostile table cannot push.
std::size_t rowCountHint(sqlite3* db);

// What a clip costs in memory once in the run's list: its shared record, its place in the list
// and the block of every string that does not fit in place.
std::uint64_t heldBytesOf(const ClipItem& clip);

// The last path component, as a title names one file.
std::string lastPathComponent(std::string path);

// Turns the query's rows into clips and the files they need.
class RowReader {
public:
    RowReader(const std::filesystem::path& payloadsURL, const PasteNowImporter::Locations& locations, bool setModes,
              double importTime);

    // Reads the current row into a clip; throws for a row that cannot be imported.
    ClipItem read(sqlite3_stmt* s);

    // The files of the clip read last, handed to the writer once the clip is in the result.
    struct PendingFile {
        const legacyfiles::OutputFolder* folder;
        std::string name;
        Bytes bytes;
        std::string linkTo;  // a second name of this earlier file instead of bytes
    };
    std::vector<PendingFile>& pendingFiles() { return pending_; }

    // The memory of the primary keys seen so far, held for the whole run: per key a node of
    // the key and its link (a 32-byte heap block), per bucket a pointer.
    std::uint64_t seenKeyBytes() const {
        return seenKeys_.size() * std::uint64_t{32} + seenKeys_.bucket_count() * sizeof(void*);
    }

private:
    double importTime_;
    std::filesystem::path externalData_;
    std::unordered_map<std::string, std::string> externalArchives_;
    legacyfiles::OutputFolder archives_;
    legacyfiles::OutputFolder previews_;
    std::unordered_set<std::int64_t> seenKeys_;
    std::vector<PendingFile> pending_;
};

}  // namespace harbelle::pastenowrows
