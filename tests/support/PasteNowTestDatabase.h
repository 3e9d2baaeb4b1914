#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Defaults.h"

namespace harbelle::testing {

// A stand-in for the outside program's history database: its three tables with the columns the
// importer reads, rows left in the write-ahead log only (no shared-memory file beside it), and
// externally stored blobs in the support folder.
class PasteNowTestDatabase {
public:
    struct Row {
        std::int64_t primaryKey = 0;
        std::optional<double> timestamp = 700'000'000;  // seconds since 2001; nothing stores NULL
        std::optional<std::int64_t> copyCount;
        std::optional<std::int64_t> colorInteger;
        std::optional<std::string> baseType = "public.utf8-plain-text";
        std::optional<std::string> secondaryType;
        std::optional<std::string> checksum;
        std::optional<std::string> text;
        std::optional<std::string> title;
        std::optional<Bytes> thumbnail;  // the column's raw blob (storage tag included)
        bool compressed = false;
        std::optional<Bytes> data;  // the column's raw blob (storage tag included)
        std::optional<std::int64_t> app;  // ZAPPLICATION key
        bool removedFromAll = false;
        // A second data row under the same key: the join then yields the item twice.
        bool duplicateDataRow = false;
    };

    // The shared LZFSE corpus file of that name.
    static Bytes corpusFile(const std::string& name);
    // Inline blob storage: tag 1 and the bytes.
    static Bytes inlineBlob(const Bytes& bytes);
    // External blob storage: tag 2, the UUID text, NUL.
    static Bytes externalBlob(const std::string& uuid);
    // An XML property list of {"type", "data"} dictionaries.
    static Bytes representationList(const std::vector<std::pair<std::string, Bytes>>& representations);
    // A small PNG image of one colour.
    static Bytes pngImage(int width, int height);
    static Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

    // Writes "PasteNow.sqlite" (and its log) into `documentsFolder`, created as needed.
    static void write(const std::filesystem::path& documentsFolder, const std::vector<Row>& rows,
                      const std::vector<std::pair<std::string, Bytes>>& externalFiles = {});

    // Turns the database into a rollback-journal one and leaves it as a writer that died in the
    // middle of inserting `uncommitted` leaves it: those rows in the file, a hot journal beside.
    static void leaveHotJournal(const std::filesystem::path& documentsFolder, const std::vector<Row>& uncommitted);

    // The mixed history the importer tests and the end-to-end test share (keys 1-14); see the
    // definition for what each row exercises.
    static std::vector<Row> standardRows();
    static std::vector<std::pair<std::string, Bytes>> standardExternalFiles();
    static constexpr const char* kExternalUUID = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";

    // `count` rows cycling through the corpus's archives, compressed and plain.
    static std::vector<Row> bulkRows(int count);
};

}  // namespace harbelle::testing
