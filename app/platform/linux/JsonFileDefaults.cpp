#include "platform/linux/JsonFileDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/FileSafety.h"

namespace harbelle {

namespace fs = std::filesystem;

namespace {

std::string errnoText(int error) { return std::strerror(error); }

// Reads a whole file. nullopt with `error` set to errno on failure (ENOENT when missing).
std::optional<std::string> readWholeFile(const fs::path& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

// Creates a file that must not exist yet, 0600 from the start. Returns 0 or an errno.
int writeNewFile(const fs::path& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    if (!filesafety::writeAll(fd, bytes) || ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return error;
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        return error;
    }
    return 0;
}

// Creates the folder and its missing parents, each 0700. Returns 0 or an errno.
int makeFolder(const fs::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder) {
        if (const int error = makeFolder(parent)) return error;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

// Whole-file replace through the link's target, so a linked settings file stays linked.
int writeAtomically(const fs::path& target, const std::string& bytes) {
    if (const int error = makeFolder(target.parent_path())) return error;
    int error = 0;
    return filesafety::writeFileAtomically(target, bytes, &error) ? 0 : error;
}

std::optional<nlohmann::json> parseObject(const std::string& bytes) {
    auto parsed = filesafety::parseJson(bytes);  // nesting too deep reads as unparseable
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

// Whether `text` is valid UTF-8 as the JSON writer takes it (no overlong forms, surrogates or
// code points past U+10FFFF). Plain ASCII, most of what is stored, is passed eight bytes at a time.
bool isValidUtf8(std::string_view text) {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = at + text.size();
    while (at < end) {
        if (end - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, at, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                at += 8;
                continue;
            }
        }
        const unsigned char lead = *at;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        int length = 0;
        unsigned char low = 0x80, high = 0xbf;  // the second byte's range
        if (lead >= 0xc2 && lead <= 0xdf) length = 2;
        else if (lead == 0xe0) length = 3, low = 0xa0;
        else if (lead == 0xed) length = 3, high = 0x9f;
        else if (lead >= 0xe1 && lead <= 0xef) length = 3;
        else if (lead == 0xf0) length = 4, low = 0x90;
        else if (lead == 0xf4) length = 4, high = 0x8f;
        else if (lead >= 0xf1 && lead <= 0xf3) length = 4;
        else return false;
        if (end - at < length || at[1] < low || at[1] > high) return false;
        for (int i = 2; i < length; ++i)
            if (at[i] < 0x80 || at[i] > 0xbf) return false;
        at += length;
    }
    return true;
}

// Whether the writer can encode `value`: every text and member name valid UTF-8. A walk, not a
// trial encoding: a large value (the sync bookkeeping) is set on the GUI thread.
bool isEncodable(const nlohmann::json& value) {
    if (value.is_string()) return isValidUtf8(value.get_ref<const std::string&>());
    if (value.is_object()) {
        for (const auto& [name, member] : value.items())
            if (!isValidUtf8(name) || !isEncodable(member)) return false;
        return true;
    }
    if (value.is_array()) return std::all_of(value.begin(), value.end(), [](const auto& v) { return isEncodable(v); });
    return true;
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

JsonFileDefaults::JsonFileDefaults(std::string identifier, std::optional<fs::path> folder,
                                   std::chrono::milliseconds writeDelay)
    : identifier_(std::move(identifier)),
      folder_(folder ? *folder : defaultFolder()),
      file_(folder_ / (identifier_ + ".json")),
      writeDelay_(writeDelay) {
    load();
    writer_ = std::thread([this] { writerLoop(); });
}

JsonFileDefaults::~JsonFileDefaults() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
    flush();
}

fs::path JsonFileDefaults::defaultFolder() {
    return fs::path(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString());
}

void JsonFileDefaults::load() {
    if (folder_.empty()) {
        lastError_ = "No configuration folder is known; settings are not saved";
        writesAllowed_ = false;
        return;
    }
    int error = 0;
    auto bytes = readWholeFile(file_, error);
    if (!bytes) {
        if (error == ENOENT) return;
        lastError_ = "Could not read " + file_.string() + ": " + errnoText(error);
        readFailure_ = lastError_;
        writesAllowed_ = false;
        return;
    }
    if (bytes->find_first_not_of(" \t\r\n") == std::string::npos) return;
    if (auto parsed = parseObject(*bytes)) {
        values_ = std::move(*parsed);
        return;
    }
    readFailure_ = "The settings file " + file_.string() + " could not be read";
    if (preserveCorruptFile(*bytes)) {
        lastError_ = "The settings file " + file_.string() +
                     " could not be read; it was preserved and the settings start empty";
    } else {
        writesAllowed_ = false;
    }
}

bool JsonFileDefaults::preserveCorruptFile(const std::string& bytes) {
    // The first copy keeps the plain name; a later, different bad file gets a numbered one,
    // so no earlier copy is ever replaced.
    for (int n = 1; n <= 100; ++n) {
        const std::string suffix = n == 1 ? ".corrupt.json" : ".corrupt." + std::to_string(n) + ".json";
        const fs::path copy = folder_ / (identifier_ + suffix);
        const int error = writeNewFile(copy, bytes);
        if (error == 0) return true;
        if (error != EEXIST) {
            lastError_ = "The settings file " + file_.string() +
                         " could not be read nor preserved (" + errnoText(error) +
                         "); changes are not saved";
            return false;
        }
        int readError = 0;
        auto existing = readWholeFile(copy, readError);
        if (existing && *existing == bytes) return true;
    }
    lastError_ = "The settings file " + file_.string() +
                 " could not be read nor preserved; changes are not saved";
    return false;
}

std::optional<nlohmann::json> JsonFileDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void JsonFileDefaults::set(const std::string& key, const nlohmann::json& value) {
    // Refuse what could not be written (invalid UTF-8), rather than poison every later save.
    if (!isValidUtf8(key) || !isEncodable(value)) {
        std::lock_guard lock(mutex_);
        lastError_ = "Setting \"" + key + "\" not stored: it is not valid UTF-8";
        return;
    }
    {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it != values_.end() && *it == value) return;
        values_[key] = value;
    }
    schedulePersist();
}

void JsonFileDefaults::removeObject(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (values_.erase(key) == 0) return;
    }
    schedulePersist();
}

std::optional<nlohmann::json> JsonFileDefaults::persistentDomain(const std::string& identifier) const {
    if (identifier == identifier_) {
        std::lock_guard lock(mutex_);
        return values_;
    }
    if (!isPlainFileName(identifier)) return std::nullopt;
    int error = 0;
    auto bytes = readWholeFile(folder_ / (identifier + ".json"), error);
    if (!bytes) return std::nullopt;
    return parseObject(*bytes);
}

int JsonFileDefaults::removeStaleTemporaryFiles() {
    if (folder_.empty()) return 0;
    return filesafety::removeStaleTemporaryFiles(folder_, file_.filename().string());
}

std::string JsonFileDefaults::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

std::uint64_t JsonFileDefaults::writeCount() const {
    std::lock_guard lock(mutex_);
    return writeCount_;
}

void JsonFileDefaults::schedulePersist() {
    std::lock_guard lock(mutex_);
    ++changes_;
    if (deadline_) return;
    deadline_ = std::chrono::steady_clock::now() + writeDelay_;
    wake_.notify_all();
}

void JsonFileDefaults::flush() {
    std::lock_guard writing(writeMutex_);
    persistPending();
}

void JsonFileDefaults::writerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_) return;
        if (!deadline_) {
            wake_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < *deadline_) {
            wake_.wait_until(lock, *deadline_);
            continue;
        }
        lock.unlock();
        {
            std::lock_guard writing(writeMutex_);
            persistPending();
        }
        lock.lock();
    }
}

void JsonFileDefaults::persistPending() {
    nlohmann::json values;
    std::uint64_t changes = 0;
    {
        std::lock_guard lock(mutex_);
        deadline_.reset();
        if (changes_ == written_) return;
        values = values_;
        changes = changes_;
    }
    persist(values);
    std::lock_guard lock(mutex_);
    written_ = changes;
}

void JsonFileDefaults::persist(const nlohmann::json& values) {
    if (!writesAllowed_) return;
    std::string bytes;
    std::string error;
    try {
        // Nested values stay compact: indenting them could multiply a file's size.
        bytes = filesafety::dumpObjectOneMemberPerLine(values);
    } catch (const nlohmann::json::exception& e) {
        error = "Could not encode the settings: " + std::string(e.what());
    }
    if (error.empty()) {
        if (const int code = writeAtomically(file_, bytes)) {
            error = "Could not write " + file_.string() + ": " + errnoText(code);
        }
    }
    std::lock_guard lock(mutex_);
    if (error.empty()) {
        ++writeCount_;
    } else {
        lastError_ = error;
    }
}

}  // namespace harbelle
