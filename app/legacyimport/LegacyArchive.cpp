#include "legacyimport/LegacyArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocale>

#include <cerrno>

#include "legacyimport/LzfseDecoder.h"
#include "legacyimport/PropertyList.h"

namespace harbelle {

ImportError::ImportError(Code code, const std::string& message)
    : std::runtime_error(message.empty() ? "legacy import error " + std::to_string(int(code)) : message), code_(code) {}

namespace legacyarchive {

bool isStrictUuidText(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::string describedSize(std::uint64_t bytes) {
    return QLocale::system().formattedDataSize(qint64(bytes), 1, QLocale::DataSizeTraditionalFormat).toStdString();
}

Bytes readBoundedFile(const std::filesystem::path& path, std::uint64_t maximumBytes) {
    // O_NONBLOCK: a FIFO planted under the name must not hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) throw ImportError(ImportError::Code::missingExternalData);
        throw ImportError(ImportError::Code::unreadableFile, "cannot open " + path.string());
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw ImportError(ImportError::Code::unreadableFile, "not a regular file");
    if (static_cast<std::uint64_t>(info.st_size) > maximumBytes)
        throw ImportError(ImportError::Code::unreadableFile, "file too large");
    Bytes bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw ImportError(ImportError::Code::unreadableFile, "read failed");
        if (got == 0) break;  // shrank while reading
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

Bytes materializeCoreDataBlob(std::span<const std::uint8_t> blob, const std::filesystem::path& externalDataFolder) {
    if (blob.empty()) throw ImportError(ImportError::Code::malformedBlob);
    switch (blob[0]) {
        case 1:
            return Bytes(blob.begin() + 1, blob.end());
        case 2: {
            if (blob.size() != 38 || blob[37] != 0) throw ImportError(ImportError::Code::malformedBlob);
            const std::string name(reinterpret_cast<const char*>(blob.data() + 1), 36);
            if (!isStrictUuidText(name)) throw ImportError(ImportError::Code::malformedBlob);
            return readBoundedFile(externalDataFolder / name, kMaximumFileBytes);
        }
        default:
            throw ImportError(ImportError::Code::unknownStorageTag, "unknown storage tag " + std::to_string(blob[0]));
    }
}

Bytes decodeArchive(std::span<const std::uint8_t> archive) {
    if (archive.size() > kMaximumFileBytes) throw ImportError(ImportError::Code::decompressionFailed, "archive too large");
    if (!looksLikeLzfse(archive)) return Bytes(archive.begin(), archive.end());
    // No more than the largest archive: the property list read from it takes up to twice that.
    auto result = decodeLzfse(archive, kMaximumFileBytes);
    if (!result.ok()) throw ImportError(ImportError::Code::decompressionFailed, result.error);
    return std::move(result.bytes);
}

std::vector<LegacyRepresentation> parseRepresentations(std::span<const std::uint8_t> propertyList) {
    static constexpr std::string_view kKeys[] = {"type", "data"};
    std::vector<LegacyRepresentation> result;
    // The usual binary list, read straight into its representations.
    if (auto records = PropertyList::parseRecords(propertyList, kKeys)) {
        if (!records->error.empty()) throw ImportError(ImportError::Code::malformedPropertyList, records->error);
        result.reserve(records->values.size() / 2);
        for (std::size_t i = 0; i + 1 < records->values.size(); i += 2) {
            auto& type = records->values[i];
            auto& data = records->values[i + 1];
            if (type.type != PropertyListValue::Type::string || data.type != PropertyListValue::Type::data)
                throw ImportError(ImportError::Code::malformedPropertyList);
            result.push_back({static_cast<std::int64_t>(result.size()), std::move(type.string), std::move(data.data)});
        }
        return result;
    }
    auto parsed = PropertyList::parse(propertyList, kKeys);
    if (!parsed.root) throw ImportError(ImportError::Code::malformedPropertyList, parsed.error);
    auto& root = *parsed.root;
    if (root.type != PropertyListValue::Type::array) throw ImportError(ImportError::Code::malformedPropertyList);
    result.reserve(root.array.size());
    for (auto& element : root.array) {
        if (element.type != PropertyListValue::Type::dictionary)
            throw ImportError(ImportError::Code::malformedPropertyList);
        auto* type = element.value("type");
        auto* data = element.value("data");
        if (!type || type->type != PropertyListValue::Type::string || !data ||
            data->type != PropertyListValue::Type::data)
            throw ImportError(ImportError::Code::malformedPropertyList);
        // The parsed tree goes away here: its strings and bytes move over.
        result.push_back({static_cast<std::int64_t>(result.size()), std::move(type->string), std::move(data->data)});
    }
    return result;
}

}  // namespace legacyarchive

}  // namespace harbelle
