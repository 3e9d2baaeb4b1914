#include "legacyimport/PasteNowRowReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>

#include "legacyimport/LegacyArchive.h"
#include "legacyimport/LzfseDecoder.h"

namespace harbelle::pastenowrows {

namespace {

namespace fs = std::filesystem;

// Seconds from 1970-01-01 to the outside program's reference date, 2001-01-01.
constexpr double kReferenceDateOffset = 978307200;

[[noreturn]] void failRow(const char* why) { throw ImportError(ImportError::Code::malformedBlob, why); }

// The columns the query reads that can be long, with the most each may be; their lengths follow
// the query's 15 columns, in this order.
struct MeasuredColumn {
    int column;
    const char* expression;
    std::uint64_t most;
};
constexpr std::uint64_t kMostBlobBytes = legacyarchive::kMaximumFileBytes + 1;
constexpr MeasuredColumn kMeasured[] = {
    {3, "i.ZCOLORHEX", PasteNowImporter::kMaximumTextBytes},
    {4, "i.ZBASEUNIFORMTYPE", PasteNowImporter::kMaximumTextBytes},
    {5, "i.ZSECONDARYUNIFORMTYPE", PasteNowImporter::kMaximumTextBytes},
    {6, "i.ZCHECKSUM", PasteNowImporter::kMaximumTextBytes},
    {7, "i.ZTEXT", PasteNowImporter::kMaximumTextBytes},
    {8, "i.ZTITLE", PasteNowImporter::kMaximumTextBytes},
    {9, "i.ZFILEURLDATA", kMostBlobBytes},
    {10, "i.ZTHUMBNAILIMAGE", kMostBlobBytes},
    {12, "d.ZDATA", kMostBlobBytes},
    {13, "a.ZNAME", PasteNowImporter::kMaximumTextBytes},
    {14, "a.ZBUNDLEID", PasteNowImporter::kMaximumTextBytes},
};
constexpr int kQueryColumns = 15;

// The query with each long value measured in SQLite before it is fetched: a value over its
// limit comes back NULL beside its length, so SQLite never hands over more than the limit.
// (length() of a blob reads no content; of a text, at most what the file holds.)
std::string measuredQuery() {
    std::string query = PasteNowImporter::kQuery;
    for (const auto& m : kMeasured) {
        const std::string from = std::string("    ") + m.expression + (m.column == 14 ? "\n" : ",\n");
        const auto at = query.find(from);
        if (at == std::string::npos) continue;
        const std::string limit = std::to_string(m.most);
        query.replace(at, from.size(),
                      std::string("    CASE WHEN length(") + m.expression + ") <= " + limit + " THEN " + m.expression +
                          " END" + (m.column == 14 ? "" : ",") + "\n");
    }
    std::string lengths;
    for (const auto& m : kMeasured) lengths += std::string(",\n    length(") + m.expression + ")";
    query.insert(query.find("\nFROM "), lengths);
    return query;
}

// A value's length as SQLite measured it, before the value was fetched.
std::uint64_t measuredLength(sqlite3_stmt* statement, int column) {
    for (int i = 0; i < int(std::size(kMeasured)); ++i) {
        if (kMeasured[i].column != column) continue;
        const sqlite3_int64 length = sqlite3_column_int64(statement, kQueryColumns + i);
        return length > 0 ? std::uint64_t(length) : 0;
    }
    return 0;
}

// A text column as SQLite holds it, up to its first NUL and good until the next step: NULL, or
// no text pointer, is nothing. Too long a text fails the row.
std::optional<std::string_view> rawTextColumn(sqlite3_stmt* statement, int column) {
    if (measuredLength(statement, column) > PasteNowImporter::kMaximumTextBytes) failRow("text too long");
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (!text) return std::nullopt;
    const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    if (bytes > PasteNowImporter::kMaximumTextBytes) failRow("text too long");
    return std::string_view(text, ::strnlen(text, bytes));
}

// The same as UTF-8, invalid sequences replaced.
std::optional<std::string> textColumn(sqlite3_stmt* statement, int column) {
    const auto text = rawTextColumn(statement, column);
    return text ? std::optional(sanitizedUTF8(*text)) : std::nullopt;
}

// SQLite's own bytes, good until the next step: resolved from there, never copied first.
std::optional<std::span<const std::uint8_t>> blobColumn(sqlite3_stmt* statement, int column,
                                                        std::uint64_t maximumBytes) {
    if (measuredLength(statement, column) > maximumBytes) failRow("blob too large");
    const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
    const int bytes = sqlite3_column_bytes(statement, column);
    if (!blob || bytes <= 0) return std::nullopt;
    if (static_cast<std::uint64_t>(bytes) > maximumBytes) failRow("blob too large");
    return std::span<const std::uint8_t>(blob, std::size_t(bytes));
}

std::optional<std::string> readColorHex(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_TEXT:
            return textColumn(statement, column);
        case SQLITE_INTEGER: {
            const auto value = static_cast<unsigned long long>(sqlite3_column_int64(statement, column));
            if (value == 0) return std::nullopt;
            char text[16];
            std::snprintf(text, sizeof text, "#%06llX", value & 0xFFFFFFull);
            return std::string(text);
        }
        default:
            return std::nullopt;
    }
}

std::string joined(const std::vector<std::string>& parts, char separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

bool isJpeg(const Bytes& image) { return image.size() > 3 && image[0] == 0xff && image[1] == 0xd8 && image[2] == 0xff; }

// Whether the table's Z_PK is its row id, as Core Data declares it: a look-up by it reads the
// table itself, no index.
bool keyIsRowID(sqlite3* db, const char* table) {
    sqlite3_stmt* info = nullptr;
    const std::string sql = std::string("SELECT count(*) = 1 AND sum(name = 'Z_PK' AND upper(type) = 'INTEGER') = 1 "
                                        "FROM pragma_table_info('") + table + "') WHERE pk > 0";
    bool rowID = false;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &info, nullptr) == SQLITE_OK && info && sqlite3_step(info) == SQLITE_ROW)
        rowID = sqlite3_column_int(info, 0) == 1;
    sqlite3_finalize(info);
    return rowID;
}

void replaceOnce(std::string& text, const std::string& from, const std::string& to) {
    if (const auto at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
}

}  // namespace

// An index can miss rows of its table, damage the quick check does not see: the items are read
// in table order (the merge sorts them by date) instead of in an index's order, and the joined
// tables are looked up by row id. A joined table keyed otherwise is left to
// SQLite's plan: scanning it once a row would take the square of the rows' time.
std::string readingQuery(sqlite3* db) {
    std::string query = measuredQuery();
    replaceOnce(query, "\nFROM ZPASTEITEM i\n", "\nFROM ZPASTEITEM i NOT INDEXED\n");
    if (keyIsRowID(db, "ZPASTEITEMDATA"))
        replaceOnce(query, "\nJOIN ZPASTEITEMDATA d ON", "\nJOIN ZPASTEITEMDATA d NOT INDEXED ON");
    if (keyIsRowID(db, "ZAPPLICATION"))
        replaceOnce(query, "\nLEFT JOIN ZAPPLICATION a ON", "\nLEFT JOIN ZAPPLICATION a NOT INDEXED ON");
    query.erase(query.find("\nORDER BY "));
    return query;
}

std::size_t rowCountHint(sqlite3* db) {
    constexpr sqlite3_int64 kMost = 50'000;
    sqlite3_stmt* statement = nullptr;
    sqlite3_int64 rows = 0;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM ZPASTEITEM NOT INDEXED", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        rows = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return std::size_t(std::clamp<sqlite3_int64>(rows, 0, kMost));
}

std::uint64_t heldBytesOf(const ClipItem& clip) {
    static const std::size_t inPlace = std::string().capacity();
    const auto sized = [](std::size_t capacity) -> std::uint64_t { return capacity > inPlace ? capacity + 17 : 0; };
    const auto block = [&](const std::string& s) { return sized(s.capacity()); };
    // The boxed texts and the fingerprint as a copy of their text takes, without making one.
    const auto maybe = [&](const auto& s) { return s.has_value() ? sized((*s).size()) : 0; };
    std::uint64_t bytes = sizeof(ClipItem) + 32 + sizeof(std::shared_ptr<ClipItem>) + block(clip.title) +
                          block(clip.text) + block(clip.searchableText) + block(clip.sourceAppName) +
                          sized(clip.fingerprint.size()) + maybe(clip.sourceBundleID) + maybe(clip.payloadFilename) +
                          maybe(clip.importedFrom) + maybe(clip.legacyPayloadFilename);
    bytes += clip.fileURLs.capacity() * sizeof(std::string);
    for (const auto& path : clip.fileURLs) bytes += block(path);
    return bytes;
}

std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    return slash == std::string::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

RowReader::RowReader(const fs::path& payloadsURL, const PasteNowImporter::Locations& locations, bool setModes,
                     double importTime)
    : importTime_(importTime),
      externalData_(locations.externalDataFolder()),
      archives_(payloadsURL / kLegacyFolder, setModes),
      previews_(payloadsURL / kPreviewFolder, setModes) {}

ClipItem RowReader::read(sqlite3_stmt* s) {
    const std::int64_t primaryKey = sqlite3_column_int64(s, 0);
    const std::string key = std::to_string(primaryKey);
    // A key seen before would overwrite the first row's files.
    if (!seenKeys_.insert(primaryKey).second) failRow("repeated primary key");

    // NULL or text would read as 0, a date the row never had.
    const int timestampType = sqlite3_column_type(s, 1);
    if (timestampType != SQLITE_FLOAT && timestampType != SQLITE_INTEGER) failRow("no timestamp");
    const double timestamp = sqlite3_column_double(s, 1);
    double unixTime = timestamp + kReferenceDateOffset;
    if (!std::isfinite(timestamp) || unixTime < 0) failRow("timestamp out of range");
    // A clip from the future would sort above everything the user copies from now on and
    // push the user's own clips past the history's limit.
    unixTime = std::min(unixTime, importTime_);
    const int copyCount = sqlite3_column_int(s, 2);
    const auto colorText = readColorHex(s, 3);
    // Only ever compared with ASCII names, which a cleaned copy equals exactly when these do.
    const std::string_view baseType = rawTextColumn(s, 4).value_or("public.text");
    const auto secondaryType = rawTextColumn(s, 5);
    // The checksum: only its length is checked, so it is neither copied nor cleaned.
    (void)rawTextColumn(s, 6);
    std::string text = textColumn(s, 7).value_or("");
    const std::string legacyTitle = textColumn(s, 8).value_or("");
    const auto thumbnail = blobColumn(s, 10, legacyarchive::kMaximumFileBytes + 1);
    const auto storedData = blobColumn(s, 12, legacyarchive::kMaximumFileBytes + 1);
    std::string appName = textColumn(s, 13).value_or(PasteNowImporter::kSourceName);
    auto bundleID = textColumn(s, 14);
    if (!storedData) failRow("no data");

    // Rows naming one external file share its bytes: the file is written for the first.
    std::string sharedArchive;
    if (storedData->size() == 38 && (*storedData)[0] == 2) sharedArchive.assign(storedData->begin() + 1, storedData->begin() + 37);
    Bytes archive = legacyarchive::materializeCoreDataBlob(*storedData, externalData_);
    // Column 11 (compressed) is not trusted: only bytes starting with an LZFSE block magic
    // are decoded, the rest is read as the property list it already is (not copied first).
    if (archive.size() > legacyarchive::kMaximumFileBytes) failRow("archive too large");
    const auto representations = looksLikeLzfse(archive)
                                     ? legacyarchive::parseRepresentations(legacyarchive::decodeArchive(archive))
                                     : legacyarchive::parseRepresentations(archive);

    ClipItem clip;
    clip.isSensitive = std::any_of(representations.begin(), representations.end(),
                                   [](const auto& r) { return r.type == pasteboardtype::concealed; });
    pending_.clear();
    std::string archiveLeaf = "pastenow-" + key + ".lzfse";

    std::vector<std::string> paths;
    if (baseType == "public.file-url") {
        // Bookmark data cannot be resolved here: the preserved URLs are the paths.
        paths = PasteNowImporter::extractFileURLs(representations);
        if (text.empty()) text = joined(paths, '\n');
    }

    ClipKind kind;
    if (colorText && !colorText->empty()) {
        kind = ClipKind::color;
        text = *colorText;
    } else if (secondaryType == "com.apple.cocoa.pasteboard.color") {
        kind = ClipKind::color;
    } else if (baseType == "public.url") {
        kind = ClipKind::link;
    } else if (baseType == "public.image") {
        kind = ClipKind::image;
    } else if (baseType == "public.file-url") {
        kind = ClipKind::file;
    } else {
        kind = clipkind::detect(text);
    }

    if (kind == ClipKind::image) {
        std::optional<Bytes> preview;
        if (thumbnail) {
            try {
                const Bytes resolved = legacyarchive::materializeCoreDataBlob(*thumbnail, externalData_);
                // Kept as it is: decoding a thumbnail of any size to re-encode it could
                // take seconds and gigabytes.
                if (!resolved.empty() && resolved.size() <= PasteNowImporter::kMaximumPreviewBytes &&
                    PasteNowImporter::looksLikePreviewImage(resolved))
                    preview = resolved;
            } catch (const ImportError&) {
                // An unresolvable thumbnail: the representations give the preview.
            }
        }
        if (!preview) preview = PasteNowImporter::makePNGPreview(representations);
        if (preview) {
            // A thumbnail kept as it is may be a JPEG: the name says what the file holds.
            const std::string previewLeaf = "pastenow-" + key + (isJpeg(*preview) ? ".jpg" : ".png");
            pending_.push_back({&previews_, previewLeaf, std::move(*preview)});
            clip.payloadFilename = std::string(kPreviewFolder) + "/" + previewLeaf;
        }
    }

    const Date date{std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(unixTime))};
    clip.createdAt = date;
    clip.updatedAt = date;
    clip.kind = kind;
    clip.title = PasteNowImporter::makeTitle(legacyTitle, text, kind, paths);
    clip.text = std::move(text);
    clip.sourceAppName = std::move(appName);
    clip.sourceBundleID = std::move(bundleID);
    clip.fileURLs = std::move(paths);
    const bool withArchive = kind == ClipKind::image || kind == ClipKind::file;
    clip.fingerprint = ClipItem::fingerprintOf(kind, clip.text, clip.fileURLs, withArchive ? &archive : nullptr);
    clip.importedFrom = std::string(PasteNowImporter::kSourceName);
    clip.legacyPayloadFilename = std::string(kLegacyFolder) + "/" + archiveLeaf;
    clip.legacyID = primaryKey;
    clip.copyCount = copyCount >= 2 ? copyCount : 1;
    // The archive is written as read; handed over last, once nothing here reads it.
    if (!sharedArchive.empty()) {
        const auto [first, isFirst] = externalArchives_.try_emplace(sharedArchive, archiveLeaf);
        if (!isFirst) {
            pending_.push_back({&archives_, std::move(archiveLeaf), {}, first->second});
            return clip;
        }
    }
    pending_.push_back({&archives_, std::move(archiveLeaf), std::move(archive)});
    return clip;
}

}  // namespace harbelle::pastenowrows
