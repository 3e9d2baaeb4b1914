#include "support/PasteNowTestDatabase.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace harbelle::testing {

namespace fs = std::filesystem;

namespace {

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql); }

template <typename T>
void bindOptional(sqlite3_stmt* s, int index, const std::optional<T>& value) {
    if (!value) {
        sqlite3_bind_null(s, index);
    } else if constexpr (std::is_same_v<T, std::string>) {
        sqlite3_bind_text(s, index, value->data(), int(value->size()), SQLITE_TRANSIENT);
    } else if constexpr (std::is_same_v<T, Bytes>) {
        sqlite3_bind_blob(s, index, value->data(), int(value->size()), SQLITE_TRANSIENT);
    } else if constexpr (std::is_same_v<T, double>) {
        sqlite3_bind_double(s, index, *value);
    } else {
        sqlite3_bind_int64(s, index, *value);
    }
}

void insertRows(sqlite3* db, const std::vector<PasteNowTestDatabase::Row>& rows) {
    sqlite3_stmt* item = nullptr;
    sqlite3_stmt* data = nullptr;
    check(sqlite3_prepare_v2(db,
                             "INSERT INTO ZPASTEITEM (Z_PK, Z_ENT, ZTIMESTAMP, ZCOPYCOUNT, ZCOLORHEX, ZBASEUNIFORMTYPE,"
                             " ZSECONDARYUNIFORMTYPE, ZCHECKSUM, ZTEXT, ZTITLE, ZFILEURLDATA, ZTHUMBNAILIMAGE,"
                             " ZITEMDATA, ZAPP, ZREMOVEDFROMALL) VALUES (?, 2, ?, ?, ?, ?, ?, ?, ?, ?, X'0102', ?, ?, ?, ?)",
                             -1, &item, nullptr),
          db, "prepare item");
    check(sqlite3_prepare_v2(db, "INSERT INTO ZPASTEITEMDATA VALUES (?, 3, ?, ?)", -1, &data, nullptr), db,
          "prepare data");
    for (const auto& row : rows) {
        sqlite3_reset(item);
        sqlite3_bind_int64(item, 1, row.primaryKey);
        bindOptional(item, 2, row.timestamp);
        bindOptional(item, 3, row.copyCount);
        bindOptional(item, 4, row.colorInteger);
        bindOptional(item, 5, row.baseType);
        bindOptional(item, 6, row.secondaryType);
        bindOptional(item, 7, row.checksum);
        bindOptional(item, 8, row.text);
        bindOptional(item, 9, row.title);
        bindOptional(item, 10, row.thumbnail);
        sqlite3_bind_int64(item, 11, 1000 + row.primaryKey);
        bindOptional(item, 12, row.app);
        sqlite3_bind_int(item, 13, row.removedFromAll ? 1 : 0);
        check(sqlite3_step(item), db, "insert item");
        for (int copy = 0; copy < (row.duplicateDataRow ? 2 : 1); ++copy) {
            sqlite3_reset(data);
            sqlite3_bind_int64(data, 1, 1000 + row.primaryKey);
            sqlite3_bind_int(data, 2, row.compressed ? 1 : 0);
            bindOptional(data, 3, row.data);
            check(sqlite3_step(data), db, "insert data");
        }
    }
    sqlite3_finalize(item);
    sqlite3_finalize(data);
}

}  // namespace

Bytes PasteNowTestDatabase::corpusFile(const std::string& name) {
    std::ifstream in(fs::path(HARBELLE_TESTDATA_DIR) / "lzfse" / name, std::ios::binary);
    if (!in) throw std::runtime_error("missing corpus file " + name);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes PasteNowTestDatabase::inlineBlob(const Bytes& bytes) {
    Bytes blob(bytes.size() + 1);
    blob[0] = 1;
    std::copy(bytes.begin(), bytes.end(), blob.begin() + 1);
    return blob;
}

Bytes PasteNowTestDatabase::externalBlob(const std::string& uuid) {
    Bytes blob(uuid.size() + 2, 0);
    blob[0] = 2;
    std::copy(uuid.begin(), uuid.end(), blob.begin() + 1);
    return blob;
}

Bytes PasteNowTestDatabase::representationList(const std::vector<std::pair<std::string, Bytes>>& representations) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n";
    for (const auto& [type, data] : representations) {
        const QByteArray encoded =
            QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size())).toBase64();
        xml += "<dict><key>type</key><string>" + type + "</string><key>data</key><data>" + encoded.toStdString() +
               "</data></dict>\n";
    }
    xml += "</array>\n</plist>\n";
    return bytes(xml);
}

Bytes PasteNowTestDatabase::pngImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(30, 140, 255));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return Bytes(png.begin(), png.end());
}

void PasteNowTestDatabase::write(const fs::path& documentsFolder, const std::vector<Row>& rows,
                                 const std::vector<std::pair<std::string, Bytes>>& externalFiles) {
    fs::create_directories(documentsFolder);
    const fs::path file = documentsFolder / "PasteNow.sqlite";
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot create the database");
    // Rows stay in the log: no checkpoint, not even when the connection closes.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA wal_autocheckpoint=0");
    // Keyed by row id, as Core Data keys its tables, unless a data row is to be repeated.
    const bool repeatsData = std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.duplicateDataRow; });
    const std::string schema =
        std::string("CREATE TABLE ZAPPLICATION (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZNAME VARCHAR, ZBUNDLEID VARCHAR);") +
        "CREATE TABLE ZPASTEITEMDATA (Z_PK INTEGER" + (repeatsData ? "" : " PRIMARY KEY") +
        ", Z_ENT INTEGER, ZCOMPRESSED INTEGER, ZDATA BLOB);"
        "CREATE TABLE ZPASTEITEM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZTIMESTAMP TIMESTAMP,"
        " ZCOPYCOUNT INTEGER, ZCOLORHEX, ZBASEUNIFORMTYPE VARCHAR, ZSECONDARYUNIFORMTYPE VARCHAR,"
        " ZCHECKSUM VARCHAR, ZTEXT VARCHAR, ZTITLE VARCHAR, ZFILEURLDATA BLOB, ZTHUMBNAILIMAGE BLOB,"
        " ZITEMDATA INTEGER, ZAPP INTEGER, ZREMOVEDFROMALL INTEGER);";
    exec(db, schema.c_str());
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");  // the schema in the main file, the rows in the log
    exec(db,
         "BEGIN;"
         "INSERT INTO ZAPPLICATION VALUES (1, 1, 'TextEdit', 'com.apple.TextEdit');"
         "INSERT INTO ZAPPLICATION VALUES (2, 1, NULL, NULL);");

    insertRows(db, rows);
    exec(db, "COMMIT");
    sqlite3_close(db);
    // The outside program is not running: no shared-memory file is left behind.
    fs::remove(documentsFolder / "PasteNow.sqlite-shm");

    const fs::path external = documentsFolder / ".PasteNow_SUPPORT" / "_EXTERNAL_DATA";
    fs::create_directories(external);
    for (const auto& [name, bytes] : externalFiles) {
        std::ofstream out(external / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
}

void PasteNowTestDatabase::leaveHotJournal(const fs::path& documentsFolder, const std::vector<Row>& uncommitted) {
    const fs::path file = documentsFolder / "PasteNow.sqlite";
    const fs::path journal = documentsFolder / "PasteNow.sqlite-journal";
    const fs::path saved = documentsFolder / "crashed.sqlite";
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot open the database");
    exec(db, "PRAGMA journal_mode=DELETE");
    // A small cache spills the transaction's pages into the file before any commit.
    exec(db, "PRAGMA cache_size=2");
    exec(db, "BEGIN");
    insertRows(db, uncommitted);
    // The writer dies here: the file and its journal as they are now are what it leaves.
    fs::copy_file(file, saved, fs::copy_options::overwrite_existing);
    fs::copy_file(journal, fs::path(saved.string() + "-journal"), fs::copy_options::overwrite_existing);
    exec(db, "ROLLBACK");
    sqlite3_close(db);
    fs::rename(saved, file);
    fs::rename(fs::path(saved.string() + "-journal"), journal);
}

std::vector<PasteNowTestDatabase::Row> PasteNowTestDatabase::standardRows() {
    std::vector<Row> rows;
    auto add = [&](std::int64_t key, double timestamp) -> Row& {
        Row row;
        row.primaryKey = key;
        row.timestamp = timestamp;
        rows.push_back(row);
        return rows.back();
    };
    // 1: LZFSE archive of plain text and HTML, an application, a checksum, copied thrice.
    {
        Row& r = add(1, 700'000'100);
        r.compressed = true;
        r.data = inlineBlob(corpusFile("plist-text-binary.lzfse"));
        r.text = "Hello from the old history \u2318";
        r.checksum = "abc123";
        r.copyCount = 3;
        r.app = 1;
    }
    // 2: the same kind of archive stored plain (no compression), with types never pasted back.
    {
        Row& r = add(2, 700'000'090);
        r.data = inlineBlob(corpusFile("plist-skiplist-binary.bin"));
        r.text = "Skip list row";
        r.title = "  Kept HTML  ";
    }
    // 3: an external blob holding an LZFSE archive with a UTF-16 type name.
    {
        Row& r = add(3, 700'000'080);
        r.compressed = true;
        r.data = externalBlob(kExternalUUID);
        r.text = "caf\u00e9 \u2603";
    }
    // 4: an image with a thumbnail; the archive carries the PNG.
    {
        Row& r = add(4, 700'000'070);
        r.baseType = "public.image";
        r.thumbnail = inlineBlob(pngImage(24, 16));
        r.data = inlineBlob(representationList({{"public.png", pngImage(48, 32)}}));
    }
    // 5: concealed (a password manager's copy).
    {
        Row& r = add(5, 700'000'060);
        r.data = inlineBlob(representationList(
            {{"public.utf8-plain-text", bytes("hunter2")}, {"org.nspasteboard.ConcealedType", bytes("")}}));
        r.text = "hunter2";
    }
    // 6: removed from all devices: not imported.
    {
        Row& r = add(6, 700'000'050);
        r.removedFromAll = true;
        r.data = inlineBlob(corpusFile("plist-text-xml.bin"));
        r.text = "removed";
    }
    // 7: broken archive.
    {
        Row& r = add(7, 700'000'040);
        r.data = inlineBlob(bytes("this is not a property list"));
        r.text = "broken";
    }
    // 8: NaN timestamp (SQLite keeps it as NULL); 9: infinite; 10: before 1970.
    add(8, std::numeric_limits<double>::quiet_NaN()).data = inlineBlob(corpusFile("plist-text-xml.bin"));
    add(9, std::numeric_limits<double>::infinity()).data = inlineBlob(corpusFile("plist-text-xml.bin"));
    add(10, -1'000'000'000.0).data = inlineBlob(corpusFile("plist-text-xml.bin"));
    // 11: a file URL with a NUL and a line feed after it, no text.
    {
        Row& r = add(11, 700'000'030);
        r.baseType = "public.file-url";
        r.data = inlineBlob(representationList({{"public.file-url", bytes(std::string("file:///tmp/old%20notes.txt\0\n", 30))}}));
    }
    // 12: an integer colour.
    {
        Row& r = add(12, 700'000'020);
        r.colorInteger = 1'223'476;
        r.data = inlineBlob(corpusFile("plist-text-xml.bin"));
        r.text = "ignored";
    }
    // 13: the join yields this item twice (a data table without a key): the second is skipped.
    {
        Row& r = add(13, 700'000'010);
        r.duplicateDataRow = true;
        r.data = inlineBlob(corpusFile("plist-text-xml.bin"));
        r.text = "plain XML";
    }
    // 14: no data at all.
    add(14, 700'000'000).text = "empty";
    return rows;
}

std::vector<std::pair<std::string, Bytes>> PasteNowTestDatabase::standardExternalFiles() {
    return {{kExternalUUID, corpusFile("plist-utf16-type.lzfse")}};
}

std::vector<PasteNowTestDatabase::Row> PasteNowTestDatabase::bulkRows(int count) {
    const std::vector<std::pair<std::string, bool>> archives{{"plist-text-binary.lzfse", true},
                                                             {"plist-skiplist-binary.lzfse", true},
                                                             {"plist-text-xml.bin", false},
                                                             {"plist-utf16-type.lzfse", true}};
    std::vector<Bytes> blobs;
    for (const auto& [name, compressed] : archives) blobs.push_back(inlineBlob(corpusFile(name)));
    std::vector<Row> rows;
    rows.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        Row row;
        row.primaryKey = i + 1;
        row.timestamp = 700'000'000.0 + i;
        row.compressed = archives[std::size_t(i) % archives.size()].second;
        row.data = blobs[std::size_t(i) % blobs.size()];
        row.text = "Bulk clip number " + std::to_string(i);
        row.checksum = "sum" + std::to_string(i);
        row.app = 1;
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace harbelle::testing
