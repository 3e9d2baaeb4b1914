// Payload files of HistoryPersistence: safe names, reading and writing, retired deletions
// and the start-up orphan pass.
#include <cerrno>

#include <unistd.h>

#include <QtGlobal>

#include "history/HistoryFiles.h"
#include "history/HistoryPersistence.h"

namespace harbelle {

namespace fs = std::filesystem;
using namespace historyfiles;

bool HistoryPersistence::isSafePayloadName(const std::string& name) {
    // Names come from the history file, which may have been edited or damaged: one that
    // could leave the payload folder must never be read or deleted.
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        const std::string_view part = std::string_view(name).substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

std::optional<fs::path> HistoryPersistence::payloadPath(const fs::path& payloadsURL, const std::string& name) {
    // A symbolic link inside the folder could lead anywhere: such a name reads as absent.
    if (payloadsURL.empty() || !isSafePayloadName(name) || !hasNoLinkBeneath(payloadsURL, name)) return std::nullopt;
    return payloadsURL / name;
}

std::optional<fs::path> HistoryPersistence::payloadPath(const std::string& name) const {
    return payloadPath(payloadsURL(), name);
}

bool HistoryPersistence::writePayload(const std::string& name, const Bytes& data) {
    const auto path = payloadPath(name);
    if (!path) return false;
    if (!makeDirectories(path->parent_path())) return false;
    noteWrite(name);
    return writeFileAtomically(*path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::optional<Bytes> HistoryPersistence::readPayload(const std::string& name) const {
    if (!isSafePayloadName(name)) return std::nullopt;
    std::string bytes;
    std::string why;
    if (readWholeFileBeneath(payloadsURL(), name, maximumFileSize(), bytes, why) != ReadResult::ok)
        return std::nullopt;
    return Bytes(bytes.begin(), bytes.end());
}

void HistoryPersistence::deletePayloads(const std::set<std::string>& names, const fs::path& payloadsURL) {
    for (const auto& name : names) {
        if (!isSafePayloadName(name)) continue;
        // unlink, not a recursive remove: a name never takes a folder with it, and never
        // reaches through a linked folder.
        unlinkBeneath(payloadsURL, name);
    }
}

std::set<std::string> HistoryPersistence::referencedPayloadNames(const ClipList& items) {
    std::set<std::string> names;
    const auto add = [&](const std::optional<std::string>& name) {
        if (name && isSafePayloadName(*name)) names.insert(*name);
    };
    for (const auto& item : items) {
        add(item.payloadFilename);
        add(item.syncPayloadFilename);
        add(item.legacyPayloadFilename);
    }
    return names;
}

namespace {

// Adds the payload names of every recovery copy beside the history file that keeps them
// beside it; the others (copies an earlier build made) are listed in `toRead`. False when the
// folder cannot be listed.
bool collectRecoveryCopyNames(const fs::path& historyFile, std::set<std::string>& names, std::vector<fs::path>& toRead) {
    const std::string prefix = historyFile.stem().string() + ".backup";
    std::error_code error;
    fs::directory_iterator it(historyFile.parent_path(), error);
    if (error) return false;
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) return false;
        const std::string name = it->path().filename().string();
        if (name.size() < prefix.size() + 5 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 5, 5, ".json") != 0)
            continue;
        if (auto kept = readNamesBeside(it->path())) names.merge(*kept);
        else toRead.push_back(it->path());
    }
    return !error;
}

// Read per call of the orphan pass: a large copy never holds a save up for long.
constexpr std::size_t kCopyBytesPerStep = std::size_t{2} << 20;

}  // namespace

void HistoryPersistence::removeOrphanedPayloadFiles(const ClipList& items) {
    OrphanScan scan;
    scan.keep = referencedPayloadNames(items);
    const auto remove = [](const std::string&, const fs::path& path) { ::unlink(path.c_str()); };
    while (scanOrphans(scan, 4096, remove)) {
    }
}

bool HistoryPersistence::scanOrphans(OrphanScan& scan, std::size_t count, const OrphanVisitor& remove) const {
    const fs::path& root = payloadsURL();
    std::error_code error;
    if (!scan.opened) {
        scan.opened = true;
        if (!collectRecoveryCopyNames(historyFileURL(), scan.keep, scan.copiesToRead)) {
            qWarning("history: orphaned payload files are kept this time");
            return false;
        }
    }
    // A copy an earlier build made is read once, a piece per call, and its names kept beside it.
    while (scan.reading || !scan.copiesToRead.empty()) {
        const fs::path& copy = scan.copiesToRead.back();
        if (!scan.reading) scan.reading = std::make_shared<PayloadNameScanner>(copy);
        if (scan.reading->step(kCopyBytesPerStep)) return true;
        if (scan.reading->failed()) {
            qWarning("history: recovery copy %s cannot be read (%s)", copy.c_str(), scan.reading->why().c_str());
            qWarning("history: orphaned payload files are kept this time");
            return false;
        }
        writeNamesBeside(copy, scan.reading->names());
        scan.keep.merge(scan.reading->names());
        scan.reading.reset();
        scan.copiesToRead.pop_back();
    }
    if (!scan.listing) {
        scan.listing = true;
        scan.it = fs::recursive_directory_iterator(root, fs::directory_options::none, error);
        if (error) return false;
    }
    const fs::recursive_directory_iterator end;
    for (; count > 0 && scan.it != end; --count, scan.it.increment(error)) {
        if (error) return false;
        std::error_code statusError;
        const fs::file_status status = scan.it->symlink_status(statusError);
        if (statusError) continue;
        if (scan.it->path().filename().string().starts_with(".")) {
            if (fs::is_directory(status)) scan.it.disable_recursion_pending();  // hidden folders are left alone
            continue;
        }
        if (!fs::is_regular_file(status)) continue;  // folders, symbolic links, sockets stay
        const std::string relative = scan.it->path().lexically_relative(root).generic_string();
        if (!isSafePayloadName(relative) || scan.keep.contains(relative)) continue;
        remove(relative, scan.it->path());
    }
    return !error && scan.it != end;
}

}  // namespace harbelle
