#include "legacyimport/PasteNowImporter.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>

#include "history/HistoryFiles.h"
#include "history/TextUnits.h"
#include "legacyimport/LegacyFileWriter.h"
#include "legacyimport/LegacyPasteboardItem.h"
#include "legacyimport/PasteNowDatabase.h"
#include "legacyimport/PasteNowRowReader.h"
#include "platform/ImageLimits.h"

namespace harbelle {

namespace {

namespace fs = std::filesystem;
using namespace pastenowrows;
using namespace legacyfiles;

constexpr std::size_t kStagedRows = 256;

bool isCancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

}  // namespace

PasteNowImporter::ImportResult PasteNowImporter::importLegacyHistory(const fs::path& payloadsURL,
                                                                     const Locations& locations,
                                                                     const std::atomic<bool>* cancel,
                                                                     const BatchSink& handBatch) {
    for (const char* folder : {kLegacyFolder, kPreviewFolder}) {
        if (!historyfiles::makeDirectories(payloadsURL / folder))
            throw ImportError(ImportError::Code::openDatabase, std::string("cannot create ") + folder);
        ::chmod((payloadsURL / folder).c_str(), 0700);
    }
    const double importTime =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto deadline = std::chrono::steady_clock::now() + locations.timeBudget;
    PasteNowDatabase database(locations.databaseFile(), locations.cacheFolder, cancel, deadline,
                              locations.diskBudgetBytes, locations.whileCopying);
    sqlite3* db = database.handle();

    sqlite3_stmt* statement = nullptr;
    const std::string query = readingQuery(db);
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) != SQLITE_OK || !statement) {
        const std::string message = sqlite3_errmsg(db);
        sqlite3_finalize(statement);
        throw ImportError(ImportError::Code::prepareQuery, message);
    }
    struct Finalizer {
        sqlite3_stmt* s;
        ~Finalizer() { sqlite3_finalize(s); }
    } finalizer{statement};

    ImportResult result;
    result.items.reserve(rowCountHint(db));
    RowReader reader(payloadsURL, locations, !umaskKeepsOwnerBits(), importTime);
    FileWriter writer;
    std::uint64_t heldBytes = 0;
    std::uint64_t writtenBytes = database.copiedBytes();
    const auto overTime = [&] { return std::chrono::steady_clock::now() > deadline; };
    const auto overTimeError = [&] {
        const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(locations.timeBudget).count();
        return ImportError(ImportError::Code::overBudget,
                           minutes > 0 ? "it took longer than " + std::to_string(minutes) + " minutes"
                                       : std::string("it took longer than it may"));
    };
    const auto overMemoryError = [&] {
        return ImportError(ImportError::Code::overBudget,
                           "its clips need more than " + legacyarchive::describedSize(locations.memoryBudgetBytes));
    };
    // Rows are read into values and made shared records some hundred at a time: records made
    // together lie together in memory, and the merge's passes over them run the faster.
    std::vector<ClipItem> staged;
    staged.reserve(kStagedRows);
    const auto share = [&] {
        for (auto& clip : staged) result.items.push_back(std::move(clip));
        staged.clear();
    };
    // A clip whose archive or preview could not be written is not imported.
    const auto dropUnwritten = [&](const std::vector<std::size_t>& unwritten) {
        share();
        result.items.eraseAt(unwritten);
        result.failedRows += std::int64_t(unwritten.size());
    };
    for (;;) {
        if (isCancelled(cancel)) throw ImportError(ImportError::Code::cancelled, "cancelled");
        if (overTime()) throw overTimeError();
        const int step = sqlite3_step(statement);
        if (step == SQLITE_DONE) break;
        if (step != SQLITE_ROW) {
            if (isCancelled(cancel)) throw ImportError(ImportError::Code::cancelled, "cancelled");
            if (overTime()) throw overTimeError();
            throw ImportError(ImportError::Code::queryFailed, sqlite3_errmsg(db));
        }
        try {
            staged.push_back(reader.read(statement));
            heldBytes += heldBytesOf(staged.back());
        } catch (...) {
            // Whatever one row does (a malformed archive, an exhausted allocation) fails that row.
            ++result.failedRows;
            continue;
        }
        for (auto& file : reader.pendingFiles()) {
            writtenBytes += file.bytes.size();
            if (writtenBytes > locations.diskBudgetBytes)
                throw ImportError(ImportError::Code::overBudget,
                                  "it would write more than " + legacyarchive::describedSize(locations.diskBudgetBytes));
            writer.write(*file.folder, std::move(file.name), std::move(file.bytes),
                         result.items.size() + staged.size() - 1, std::move(file.linkTo));
        }
        if (staged.size() == kStagedRows) share();
        // The keys seen stay for the whole run, batch after batch. Past a quarter of the budget
        // they would leave batches too small to be worth a merge and a save each.
        const std::uint64_t keyBytes = reader.seenKeyBytes();
        if (handBatch && keyBytes > locations.memoryBudgetBytes / 4) throw overMemoryError();
        if (handBatch && heldBytes + keyBytes > locations.memoryBudgetBytes / 2) {
            // Merged and saved before more is read, so the run never holds more than this.
            dropUnwritten(writer.flush());
            syncFileSystemOf(payloadsURL);
            ClipList batch = std::move(result.items);
            result.items = {};
            heldBytes = 0;
            if (!handBatch(std::move(batch))) throw ImportError(ImportError::Code::cancelled, "the batch was not merged");
        } else if (heldBytes + keyBytes > locations.memoryBudgetBytes) {
            throw overMemoryError();
        }
    }
    dropUnwritten(writer.finish());
    syncFileSystemOf(payloadsURL);
    return result;
}

std::optional<PasteboardObject> PasteNowImporter::makeLegacyPasteboardItem(const ClipItem& clip,
                                                                           const fs::path& payloadsURL,
                                                                           bool plainText) {
    return legacypasteboard::makeLegacyPasteboardItem(clip, payloadsURL, plainText);
}

std::vector<std::string> PasteNowImporter::extractFileURLs(const std::vector<LegacyRepresentation>& representations) {
    std::vector<std::string> paths;
    for (const auto& representation : representations) {
        if (representation.type != "public.file-url") continue;
        const QString decoded =
            QString::fromUtf8(reinterpret_cast<const char*>(representation.data.data()), qsizetype(representation.data.size()));
        if (decoded.toUtf8().size() != qsizetype(representation.data.size()) ||
            decoded.contains(QChar::ReplacementCharacter))
            continue;  // not UTF-8
        std::string_view text(reinterpret_cast<const char*>(representation.data.data()), representation.data.size());
        auto junk = [](char c) { return c == '\0' || c == '\n' || c == '\r' || c == ' '; };
        while (!text.empty() && junk(text.front())) text.remove_prefix(1);
        while (!text.empty() && junk(text.back())) text.remove_suffix(1);
        const QUrl url(QString::fromUtf8(text.data(), qsizetype(text.size())));
        if (url.isValid() && url.isLocalFile()) {
            paths.push_back(url.toLocalFile().toStdString());
        } else if (!text.empty() && text.front() == '/') {
            paths.emplace_back(text);
        }
    }
    return paths;
}

std::optional<Bytes> PasteNowImporter::reencodedAsPNG(const Bytes& image) {
    QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(image.data()), qsizetype(image.size()));
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    // Reads within the process-wide image allocation limit, so a hostile size fails here.
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    // The size from the header, before anything is decoded: a few bytes can claim a picture of
    // gigabytes. One that does not tell its size is not decoded either.
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || exceedsImagePixelLimit(size)) return std::nullopt;
    const QImage decoded = reader.read();
    if (decoded.isNull()) return std::nullopt;
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    if (!decoded.save(&out, "PNG")) return std::nullopt;
    return Bytes(png.begin(), png.end());
}

bool PasteNowImporter::looksLikePreviewImage(const Bytes& image) {
    static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    static constexpr std::uint8_t kJpeg[] = {0xff, 0xd8, 0xff};
    const auto startsWith = [&](const auto& signature) {
        return image.size() > sizeof signature && std::equal(std::begin(signature), std::end(signature), image.begin());
    };
    return startsWith(kPng) || startsWith(kJpeg);
}

std::optional<Bytes> PasteNowImporter::makePNGPreview(const std::vector<LegacyRepresentation>& representations) {
    for (const char* type : {"public.png", "public.jpeg", "public.heic", "public.tiff", "com.apple.uikit.image"}) {
        const auto found = std::find_if(representations.begin(), representations.end(),
                                        [&](const auto& r) { return r.type == type; });
        if (found == representations.end()) continue;
        // PNG bytes are the preview as they are.
        if (found->type == "public.png" && found->data.size() <= kMaximumPreviewBytes &&
            looksLikePreviewImage(found->data))
            return found->data;
        if (auto png = reencodedAsPNG(found->data)) return png;
    }
    return std::nullopt;
}

std::string PasteNowImporter::makeTitle(const std::string& legacyTitle, const std::string& bodyText, ClipKind kind,
                                        const std::vector<std::string>& fileURLs) {
    const std::string_view trimmed = textunits::trimmedWhitespaceAndNewlines(legacyTitle);
    if (!trimmed.empty()) {
        if (textunits::graphemeCount(trimmed, 91) <= 90) return std::string(trimmed);
        return textunits::graphemePrefix(trimmed, 89).text.toStdString() + "\u2026";
    }
    if (kind == ClipKind::image) return "Imported image";
    if (kind == ClipKind::file && !fileURLs.empty()) {
        if (fileURLs.size() == 1) return lastPathComponent(fileURLs.front());
        return std::to_string(fileURLs.size()) + " files";
    }
    return ClipItem::titleFor(bodyText, kind);
}

}  // namespace harbelle
