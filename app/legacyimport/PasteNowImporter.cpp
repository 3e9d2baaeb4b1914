#include "legacyimport/PasteNowImporter.h"

#include "platform/FileSafety.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QLocale>
#include <QUrl>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "history/HistoryFiles.h"
#include "history/HistoryStore.h"
#include "history/TextUnits.h"
#include "legacyimport/LegacyPasteboardItem.h"
#include "legacyimport/LzfseDecoder.h"
#include "legacyimport/PasteNowDatabase.h"
#include "platform/BackgroundWork.h"
#include "platform/BundleInfo.h"
#include "platform/ImageLimits.h"

namespace harbelle {

namespace {

namespace fs = std::filesystem;

constexpr const char* kLegacyFolder = "Legacy";
constexpr const char* kPreviewFolder = "LegacyPreviews";
// Seconds from 1970-01-01 to the outside program's reference date, 2001-01-01.
constexpr double kReferenceDateOffset = 978307200;

// The run in progress, so that quitting can stop it. Main thread only.
std::shared_ptr<std::atomic<bool>>& currentCancelFlag() {
    static std::shared_ptr<std::atomic<bool>> flag;
    return flag;
}

bool isCancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

[[noreturn]] void failRow(const char* why) { throw ImportError(ImportError::Code::malformedBlob, why); }

std::string formattedCount(std::int64_t count) {
    // The C locale has no digit grouping; show the common English form there.
    QLocale locale;
    if (locale.language() == QLocale::C) locale = QLocale(QLocale::English, QLocale::UnitedStates);
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(qlonglong(count)).toStdString();
}

// Written through a temporary file renamed into place, replacing what is there.
bool replaceFile(const fs::path& target, std::string_view bytes) {
    std::string pattern = (target.parent_path() / filesafety::temporaryPrefix(target.filename().string())).string();
    pattern += "XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && filesafety::writeAll(fd, bytes);
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(pattern.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(pattern.c_str());
    return ok;
}

// Whether `name` in `folder` is already our private file with exactly these bytes (left by a
// run cut short): then it is kept, not replaced, and stamped as written now.
bool holdsSameFile(int folder, const std::string& name, std::string_view bytes) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
                (info.st_mode & 0077) == 0 && std::uint64_t(info.st_size) == bytes.size();
    std::vector<char> chunk(same ? std::min<std::size_t>(bytes.size(), 1 << 20) : 0);
    for (std::size_t at = 0; same && at < bytes.size();) {
        const ssize_t got = ::read(fd, chunk.data(), std::min(chunk.size(), bytes.size() - at));
        same = got > 0 && std::memcmp(chunk.data(), bytes.data() + at, std::size_t(got)) == 0;
        at += got > 0 ? std::size_t(got) : 0;
    }
    same = same && ::futimens(fd, nullptr) == 0;
    ::close(fd);
    return same;
}

// The umask leaves a file created 0600 exactly so, unless it takes away the owner's bits;
// read once, as the umask cannot be looked at without changing it for every thread.
bool umaskKeepsOwnerBits() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) != 0) continue;
        char* end = nullptr;
        const unsigned long mask = std::strtoul(line.c_str() + 6, &end, 8);
        return end != line.c_str() + 6 && (mask & 0600) == 0;
    }
    return false;
}

// A folder the run fills with new files, held open so that each file costs one short lookup.
class OutputFolder {
public:
    OutputFolder(fs::path path, bool setModes)
        : path_(std::move(path)), fd_(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), setModes_(setModes) {
        if (fd_ < 0) throw ImportError(ImportError::Code::openDatabase, "cannot open " + path_.filename().string());
    }
    ~OutputFolder() { ::close(fd_); }
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // A new 0600 file; not synced here: the run syncs the whole file system once at its end.
    bool write(const std::string& name, const Bytes& data) const {
        const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
        // O_EXCL: never through a link planted under the name, never into another file.
        const int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0) {
            // A file left by an earlier run that did not complete is replaced whole.
            return errno == EEXIST && (holdsSameFile(fd_, name, bytes) || replaceFile(path_ / name, bytes));
        }
        bool ok = (!setModes_ || ::fchmod(fd, 0600) == 0) && filesafety::writeAll(fd, bytes);
        ok = ::close(fd) == 0 && ok;
        // The file is ours (O_EXCL made it): no half-written file stays behind.
        if (!ok) ::unlinkat(fd_, name.c_str(), 0);
        return ok;
    }

    // `name` made a second name of `existing` in the folder: bytes written once for rows that
    // share one external archive. A file left under the name by an earlier run is replaced.
    bool link(const std::string& existing, const std::string& name) const {
        if (::linkat(fd_, existing.c_str(), fd_, name.c_str(), 0) == 0) return true;
        if (errno != EEXIST) return false;
        std::string temporary = filesafety::temporaryPrefix(name) + "link";
        ::unlinkat(fd_, temporary.c_str(), 0);
        if (::linkat(fd_, existing.c_str(), fd_, temporary.c_str(), 0) != 0) return false;
        if (::renameat(fd_, temporary.c_str(), fd_, name.c_str()) == 0) return true;
        ::unlinkat(fd_, temporary.c_str(), 0);
        return false;
    }

private:
    fs::path path_;
    int fd_;
    bool setModes_;
};

// Writes the run's files on a thread of its own while the next rows are read and parsed. A file
// that cannot be written fails its row, once the run knows it.
class FileWriter {
public:
    FileWriter() {
        try {
            thread_ = std::thread([this] { loop(); });
        } catch (const std::system_error&) {
            // No thread to be had: each file is written where it is asked for.
        }
    }
    ~FileWriter() {
        // A run ended by an error or a cancel: what is still queued is never written.
        {
            std::lock_guard lock(mutex_);
            jobs_.clear();
            done_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable()) thread_.join();
    }
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // With `linkTo`, `name` becomes a second name of that file (written before it, in order).
    void write(const OutputFolder& folder, std::string name, Bytes bytes, std::size_t row, std::string linkTo = {}) {
        if (!thread_.joinable()) {
            if (!(linkTo.empty() ? folder.write(name, bytes) : folder.link(linkTo, name))) failed_.push_back(row);
            return;
        }
        std::unique_lock lock(mutex_);
        // Bounded, so that a run of large archives waits for the disk instead of piling up.
        room_.wait(lock, [&] { return queuedBytes_ < kMostQueuedBytes || jobs_.empty(); });
        queuedBytes_ += bytes.size();
        jobs_.push_back({&folder, std::move(name), std::move(bytes), row, std::move(linkTo)});
        lock.unlock();
        ready_.notify_one();
    }

    // Waits for every queued file; the rows whose files were not written, in ascending order.
    std::vector<std::size_t> finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable()) thread_.join();
        return takeFailed();
    }
    // The same, the writer staying for the rows that follow (numbered from 0 again).
    std::vector<std::size_t> flush() {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return jobs_.empty() && !writing_; });
        lock.unlock();
        return takeFailed();
    }

private:
    static constexpr std::size_t kMostQueuedBytes = 64u << 20;
    struct Job {
        const OutputFolder* folder;
        std::string name;
        Bytes bytes;
        std::size_t row;
        std::string linkTo;
    };

    std::vector<std::size_t> takeFailed() {
        std::lock_guard lock(mutex_);
        std::vector<std::size_t> failed = std::move(failed_);
        failed_.clear();
        std::sort(failed.begin(), failed.end());
        failed.erase(std::unique(failed.begin(), failed.end()), failed.end());
        return failed;
    }

    void loop() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return done_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
                queuedBytes_ -= job.bytes.size();
                writing_ = true;
            }
            room_.notify_all();
            bool ok = false;
            try {
                ok = job.linkTo.empty() ? job.folder->write(job.name, job.bytes) : job.folder->link(job.linkTo, job.name);
            } catch (...) {
            }
            {
                std::lock_guard lock(mutex_);
                if (!ok) failed_.push_back(job.row);
                writing_ = false;
            }
            room_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Job> jobs_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool done_ = false;
    std::vector<std::size_t> failed_;
    std::thread thread_;
};

// How many clips the run is likely to build, within a bound a hostile table cannot push.
std::size_t rowCountHint(sqlite3* db) {
    constexpr sqlite3_int64 kMost = 50'000;
    sqlite3_stmt* statement = nullptr;
    sqlite3_int64 rows = 0;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM ZPASTEITEM", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        rows = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return std::size_t(std::clamp<sqlite3_int64>(rows, 0, kMost));
}

void syncFileSystemOf(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

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

// A text column as a UTF-8 C string: NULL, or no text pointer, is nothing. Too long a text
// fails the row; invalid sequences are replaced.
std::optional<std::string> textColumn(sqlite3_stmt* statement, int column) {
    if (measuredLength(statement, column) > PasteNowImporter::kMaximumTextBytes) failRow("text too long");
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (!text) return std::nullopt;
    const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    if (bytes > PasteNowImporter::kMaximumTextBytes) failRow("text too long");
    return sanitizedUTF8(std::string_view(text, ::strnlen(text, bytes)));
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

std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    return slash == std::string::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

// What a clip holds in memory, roughly.
std::uint64_t heldBytesOf(const ClipItem& clip) {
    std::uint64_t bytes = sizeof(ClipItem) + clip.text.size() + clip.title.size() + clip.sourceAppName.size() +
                          clip.fingerprint.size();
    for (const auto& path : clip.fileURLs) bytes += path.size() + sizeof(path);
    return bytes;
}

class RowReader {
public:
    RowReader(const fs::path& payloadsURL, const PasteNowImporter::Locations& locations, bool setModes,
              double importTime)
        : importTime_(importTime),
          externalData_(locations.externalDataFolder()),
          archives_(payloadsURL / kLegacyFolder, setModes),
          previews_(payloadsURL / kPreviewFolder, setModes) {}

    // Reads the current row into a clip; throws for a row that cannot be imported.
    ClipItem read(sqlite3_stmt* s) {
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
        const std::string baseType = textColumn(s, 4).value_or("public.text");
        const auto secondaryType = textColumn(s, 5);
        textColumn(s, 6);  // the checksum: only its length is checked
        std::string text = textColumn(s, 7).value_or("");
        const std::string legacyTitle = textColumn(s, 8).value_or("");
        const auto thumbnail = blobColumn(s, 10, legacyarchive::kMaximumFileBytes + 1);
        const auto storedData = blobColumn(s, 12, legacyarchive::kMaximumFileBytes + 1);
        const std::string appName = textColumn(s, 13).value_or(PasteNowImporter::kSourceName);
        const auto bundleID = textColumn(s, 14);
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
        const std::string archiveLeaf = "pastenow-" + key + ".lzfse";
        const std::string archiveName = std::string(kLegacyFolder) + "/" + archiveLeaf;

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
        clip.sourceAppName = appName;
        clip.sourceBundleID = bundleID;
        clip.fileURLs = paths;
        const bool withArchive = kind == ClipKind::image || kind == ClipKind::file;
        clip.fingerprint =
            ClipItem::makeFingerprint(kind, clip.text, paths, std::nullopt, withArchive ? &archive : nullptr);
        clip.importedFrom = std::string(PasteNowImporter::kSourceName);
        clip.legacyPayloadFilename = archiveName;
        clip.legacyID = primaryKey;
        clip.copyCount = copyCount >= 2 ? copyCount : 1;
        // The archive is written as read; handed over last, once nothing here reads it.
        if (!sharedArchive.empty()) {
            const auto [first, isFirst] = externalArchives_.try_emplace(sharedArchive, archiveLeaf);
            if (!isFirst) {
                pending_.push_back({&archives_, archiveLeaf, {}, first->second});
                return clip;
            }
        }
        pending_.push_back({&archives_, archiveLeaf, std::move(archive)});
        return clip;
    }

    // The files of the clip read last, handed to the writer once the clip is in the result.
    struct PendingFile {
        const OutputFolder* folder;
        std::string name;
        Bytes bytes;
        std::string linkTo;  // a second name of this earlier file instead of bytes
    };
    std::vector<PendingFile>& pendingFiles() { return pending_; }

private:
    static bool isJpeg(const Bytes& image) { return image.size() > 3 && image[0] == 0xff && image[1] == 0xd8 && image[2] == 0xff; }

    double importTime_;
    fs::path externalData_;
    std::unordered_map<std::string, std::string> externalArchives_;
    OutputFolder archives_;
    OutputFolder previews_;
    std::unordered_set<std::int64_t> seenKeys_;
    std::vector<PendingFile> pending_;
};

// A batch on its way from the run's thread to the merge, and the merge's answer.
struct BatchGate {
    std::mutex mutex;
    std::condition_variable merged;
    bool waiting = false;
    bool abandoned = false;
    bool saveFailed = false;
    int added = 0;
    int batches = 0;
};

// One import in flight, a child of the store it fills: the store's end closes the way back and
// lets a run that waits for a merge go.
struct ImportRun : QObject {
    explicit ImportRun(QObject* store) : QObject(store) {}
    ~ImportRun() override {
        {
            std::lock_guard lock(gate->mutex);
            gate->abandoned = true;
        }
        gate->merged.notify_all();
    }
    std::shared_ptr<BatchGate> gate = std::make_shared<BatchGate>();
    BackgroundWork work{this};
};

// What the background hands back: the clips sorted and stamped for the merge, so the main
// thread only moves pointers.
struct MergeInput {
    ClipList items;
    std::int64_t failedRows = 0;
};

MergeInput prepareMerge(PasteNowImporter::ImportResult result) {
    MergeInput input;
    input.failedRows = result.failedRows;
    for (auto& clip : result.items) clip.importedFrom = std::string(PasteNowImporter::kSourceName);
    input.items = ClipList(std::move(result.items));
    input.items.stableSort([](const ClipItem& a, const ClipItem& b) { return a.createdAt > b.createdAt; });
    return input;
}

// How the run ended: its last clips, or why it failed.
struct RunOutcome {
    std::optional<MergeInput> input;
    bool overBudget = false;
    std::string why;
};

// In steps, so a large import does not freeze the shelf. The flag is set only once the merged
// history is on disk: a quit before that leaves it unset, and the next launch's run skips, by
// their legacy ids, the clips that the quit's own save kept.
void mergeResult(HistoryStore& store, MergeInput input, std::shared_ptr<BatchGate> gate) {
    const std::int64_t failedRows = input.failedRows;
    store.importItemsInSteps(std::move(input.items), PasteNowImporter::kSourceName,
                             [&store, failedRows, gate](int added, bool saved) {
        store.setMigrationStatus(std::nullopt);
        if (!saved) {
            store.showToast("Imported clips are open, but the history index could not be saved", ToastTone::error);
            return;
        }
        store.defaults().setBool(PasteNowImporter::kImportedKey, true);
        store.defaults().removeObject(PasteNowImporter::kStoppedKey);
        const int total = gate->added + added;
        if (failedRows > 0) {
            store.showToast("Imported " + formattedCount(total) + " clips; " + std::to_string(failedRows) +
                                " could not be decoded",
                            ToastTone::info);
        } else if (gate->batches > 0 && total > 0) {
            // Each batch's merge named its own count; the last word is the whole.
            store.showToast("Imported " + formattedCount(total) + " older clips", ToastTone::success);
        }
    });
}

// The run's thread: hands a batch to the merge and waits until it is saved, the run is
// cancelled or nobody is left to merge it.
bool mergeBatch(std::vector<ClipItem>&& batch, const BackgroundWork::Sender& sender, HistoryStore* store,
                const std::shared_ptr<BatchGate>& gate, const std::shared_ptr<std::atomic<bool>>& cancel) {
    auto input = std::make_shared<MergeInput>(prepareMerge({std::move(batch), 0}));
    {
        std::lock_guard lock(gate->mutex);
        if (gate->abandoned) return false;
        gate->waiting = true;
    }
    sender.post([store, gate, input] {
        store->importItemsInSteps(std::move(input->items), PasteNowImporter::kSourceName,
                                  [gate](int added, bool saved) {
            {
                std::lock_guard lock(gate->mutex);
                gate->added += added;
                ++gate->batches;
                gate->saveFailed = gate->saveFailed || !saved;
                gate->waiting = false;
            }
            gate->merged.notify_all();
        });
    });
    std::unique_lock lock(gate->mutex);
    // Quitting sets the flag without a word to this thread: it is looked at now and then.
    while (gate->waiting && !gate->abandoned && !cancel->load())
        gate->merged.wait_for(lock, std::chrono::milliseconds(100));
    return !gate->waiting && !gate->saveFailed && !gate->abandoned && !cancel->load();
}

}  // namespace

PasteNowImporter::Locations PasteNowImporter::defaultLocations() {
    fs::path home;
    if (const char* h = std::getenv("HOME"); h && *h == '/') home = h;
    const std::string group =
        BundleInfo::main().pasteNowGroupContainer();
    fs::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') cache = xdg;
    else if (!home.empty()) cache = home / ".cache";
    else cache = fs::temp_directory_path();
    Locations locations;
    if (!home.empty()) locations.documentsFolder = home / "Library" / "Group Containers" / group / "Documents";
    locations.cacheFolder = cache / "Harbelle" / "LegacyImport";
    return locations;
}

void PasteNowImporter::importIfNeeded(HistoryStore& store) { importIfNeeded(store, defaultLocations()); }

void PasteNowImporter::importIfNeeded(HistoryStore& store, const Locations& locations) {
    if (store.defaults().boolValue(kImportedKey).value_or(false)) return;
    if (locations.documentsFolder.empty()) return;
    std::error_code error;
    if (!fs::exists(locations.databaseFile(), error)) return;  // looked for again at the next launch
    const std::string signature = PasteNowDatabase::signature(locations.databaseFile());
    if (const auto stopped = store.defaults().object(kStoppedKey);
        stopped && stopped->is_object() && stopped->value("database", "") == signature)
        return;  // the same database that stopped the last run at a budget
    store.setMigrationStatus(std::string(kStatusText));

    auto cancel = std::make_shared<std::atomic<bool>>(false);
    currentCancelFlag() = cancel;
    // The run belongs to the store: should the store go first, its hand-back is dropped.
    auto* run = new ImportRun(&store);
    const fs::path payloadsURL = store.payloadsURL();
    BatchSink handBatch = [sender = run->work.sender(), store = &store, gate = run->gate,
                           cancel](std::vector<ClipItem>&& batch) {
        return mergeBatch(std::move(batch), sender, store, gate, cancel);
    };
    run->work.run(
        [cancel, payloadsURL, locations, handBatch]() -> RunOutcome {
            try {
                return {prepareMerge(importLegacyHistory(payloadsURL, locations, cancel.get(), handBatch))};
            } catch (const ImportError& failure) {
                return {std::nullopt, failure.code() == ImportError::Code::overBudget, failure.what()};
            } catch (...) {
                return {};
            }
        },
        [run, &store, cancel, signature](RunOutcome outcome) {
            run->deleteLater();
            if (cancel->load()) return;  // quitting: nobody to hand the clips to
            if (currentCancelFlag() == cancel) currentCancelFlag().reset();
            if (outcome.input) {
                mergeResult(store, std::move(*outcome.input), run->gate);
                return;
            }
            store.setMigrationStatus(std::nullopt);
            if (run->gate->saveFailed) {
                store.showToast("Imported clips are open, but the history index could not be saved", ToastTone::error);
                return;
            }
            std::string message = "The old PasteNow history is safe, but import needs attention";
            if (outcome.overBudget) {
                // Kept, so the next launches do not copy and read the same database again.
                store.defaults().set(kStoppedKey, nlohmann::json{{"reason", outcome.why}, {"database", signature}});
                message += ": " + outcome.why + ". It is tried again once the old history changes.";
            }
            store.showToast(message, ToastTone::error);
        });
}

void PasteNowImporter::cancelRunningImport() {
    if (auto& flag = currentCancelFlag()) flag->store(true);
}

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
                              locations.diskBudgetBytes);
    sqlite3* db = database.handle();

    sqlite3_stmt* statement = nullptr;
    static const std::string query = measuredQuery();
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
    // Room for every row at once: growing a vector of clips this size costs more than the count.
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
    // A clip whose archive or preview could not be written is not imported.
    const auto dropUnwritten = [&](const std::vector<std::size_t>& unwritten) {
        if (unwritten.empty()) return;
        std::size_t kept = 0, next = 0;
        for (std::size_t row = 0; row < result.items.size(); ++row) {
            if (next < unwritten.size() && unwritten[next] == row) {
                ++next;
                continue;
            }
            if (kept != row) result.items[kept] = std::move(result.items[row]);
            ++kept;
        }
        result.items.resize(kept);
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
            result.items.push_back(reader.read(statement));
            heldBytes += heldBytesOf(result.items.back());
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
            writer.write(*file.folder, std::move(file.name), std::move(file.bytes), result.items.size() - 1,
                         std::move(file.linkTo));
        }
        if (handBatch && heldBytes > locations.memoryBudgetBytes / 2) {
            // Merged and saved before more is read, so the run never holds more than this.
            dropUnwritten(writer.flush());
            syncFileSystemOf(payloadsURL);
            std::vector<ClipItem> batch = std::move(result.items);
            result.items = {};
            heldBytes = 0;
            if (!handBatch(std::move(batch))) throw ImportError(ImportError::Code::cancelled, "the batch was not merged");
        } else if (heldBytes > locations.memoryBudgetBytes) {
            throw ImportError(ImportError::Code::overBudget,
                              "its clips need more than " + legacyarchive::describedSize(locations.memoryBudgetBytes));
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
