#include "platform/linux/XdgAutostartLoginItem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QStringDecoder>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace harbelle {

namespace fs = std::filesystem;

namespace {

fs::path configHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return fs::path(xdg);
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".config";
}

LoginItemError fileError(const std::string& what, int code) {
    return LoginItemError{XdgAutostartLoginItem::kErrorDomain, code, what + ": " + std::strerror(code)};
}

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

// Creates missing folders with 0700; existing ones keep their mode.
bool makePrivateDirectories(const fs::path& directory) {
    std::error_code ec;
    if (fs::is_directory(directory, ec)) return true;
    if (directory.has_parent_path() && directory.parent_path() != directory &&
        !makePrivateDirectories(directory.parent_path()))
        return false;
    return ::mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(std::optional<fs::path> executable) {
    if (executable) {
        executable_ = *executable;
    } else {
        std::error_code ec;
        executable_ = fs::read_symlink("/proc/self/exe", ec);
        if (ec || executable_.empty()) executable_ = QCoreApplication::applicationFilePath().toStdString();
    }
    if (!executable_.empty() && executable_.is_relative()) executable_ = fs::absolute(executable_);
}

fs::path XdgAutostartLoginItem::entryPath() const { return configHome() / "autostart" / kFileName; }

std::string XdgAutostartLoginItem::execValue(const fs::path& executable) {
    // Quote the program as one argument; inside quotes ", `, $ and \ take a backslash, and %
    // is doubled so it is no field code. Then the string rule doubles every backslash again.
    const std::string& path = executable.native();
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    // GLib looks for the program before it expands field codes, so "%%" in the program itself
    // names a file that does not exist and the entry is dropped; env as the program avoids that.
    std::string value = path.find('%') != std::string::npos ? "/usr/bin/env " : "";
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

bool XdgAutostartLoginItem::canBeWrittenFaithfully(const fs::path& executable) {
    const std::string& bytes = executable.native();
    if (std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return false;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString text = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return !decoder.hasError();
}

LoginItemStatus XdgAutostartLoginItem::status() {
    std::error_code ec;
    if (executable_.empty() || !fs::is_regular_file(executable_, ec)) return LoginItemStatus::notFound;
    // An entry holding such a path is refused by the desktop, whatever the file says.
    if (!canBeWrittenFaithfully(executable_)) return LoginItemStatus::notRegistered;
    std::ifstream file(entryPath());
    if (!file) return LoginItemStatus::notRegistered;
    bool inEntry = false, ours = false, disabled = false;
    std::string line;
    while (std::getline(file, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = trim(line.substr(0, equals)), value = trim(line.substr(equals + 1));
        if (key == "Exec") ours = value == execValue(executable_);
        else if (key == "Hidden" && value == "true") disabled = true;
        else if (key == "X-GNOME-Autostart-enabled" && value == "false") disabled = true;
    }
    // An entry for another path (say, an older copy of the program) is not our registration.
    if (!ours) return LoginItemStatus::notRegistered;
    // Switched off in the desktop's own start-up settings: the entry is there but only the
    // user can turn it back on there, which is what "requires approval" means.
    if (disabled) return LoginItemStatus::requiresApproval;
    return LoginItemStatus::enabled;
}

std::optional<LoginItemError> XdgAutostartLoginItem::registerItem() {
    std::error_code ec;
    if (executable_.empty() || !fs::is_regular_file(executable_, ec))
        return LoginItemError{kErrorDomain, ENOENT, "The program file could not be found."};
    if (!canBeWrittenFaithfully(executable_))
        return LoginItemError{kErrorDomain, EINVAL, "The program's path cannot be written to a start-up entry."};
    const fs::path entry = entryPath();
    if (!makePrivateDirectories(entry.parent_path())) return fileError("Could not create the autostart folder", errno);

    const std::string contents = "[Desktop Entry]\nType=Application\nName=Harbelle\nComment=Clipboard history\n"
                                 "Exec=" + execValue(executable_) +
                                 "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    const fs::path temporary = entry.parent_path() / (std::string(".") + kFileName + ".tmp");
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return fileError("Could not write the start-up entry", errno);
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return fileError("Could not write the start-up entry", error);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return fileError("Could not write the start-up entry", error);
    }
    if (::rename(temporary.c_str(), entry.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return fileError("Could not write the start-up entry", error);
    }
    return std::nullopt;
}

std::optional<LoginItemError> XdgAutostartLoginItem::unregisterItem() {
    if (::unlink(entryPath().c_str()) != 0 && errno != ENOENT)
        return fileError("Could not remove the start-up entry", errno);
    return std::nullopt;
}

void XdgAutostartLoginItem::unregisterItem(Completion completion) {
    auto error = unregisterItem();
    QTimer::singleShot(0, QCoreApplication::instance(),
                       [completion = std::move(completion), error] { completion(error); });
}

}  // namespace harbelle
