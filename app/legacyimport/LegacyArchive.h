#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Defaults.h"

namespace harbelle {

// Why a legacy row or run failed; never shown to the user.
class ImportError : public std::runtime_error {
public:
    enum class Code {
        openDatabase,
        prepareQuery,
        unknownStorageTag,
        queryFailed,
        malformedBlob,
        missingExternalData,
        decompressionFailed,
        malformedPropertyList,
        unreadableFile,
        cancelled,
        overBudget,
    };
    ImportError(Code code, const std::string& message = {});
    Code code() const { return code_; }

private:
    Code code_;
};

// One typed pasteboard representation of a legacy clip.
struct LegacyRepresentation {
    std::int64_t ordinal = 0;
    std::string type;
    Bytes data;
    bool operator==(const LegacyRepresentation&) const = default;
};

// The storage layers of the outside program's clip archives: Core Data's blob storage, LZFSE
// compression and the property list of representations. Everything here is read from another
// program's files, so every size is bounded before anything is allocated.
namespace legacyarchive {

// Largest external blob file, and largest archive of any kind, read or decoded.
inline constexpr std::uint64_t kMaximumFileBytes = 128ull << 20;

// The value of a Core Data blob column: inline (tag 1) or the content of the external file
// named by a UUID (tag 2) inside `externalDataFolder`.
Bytes materializeCoreDataBlob(std::span<const std::uint8_t> blob, const std::filesystem::path& externalDataFolder);

// The property list inside an archive: LZFSE-decoded when the bytes start with a block magic,
// otherwise the bytes themselves (archives stored uncompressed).
Bytes decodeArchive(std::span<const std::uint8_t> archive);

// The list of {"type": string, "data": bytes} dictionaries, in order.
std::vector<LegacyRepresentation> parseRepresentations(std::span<const std::uint8_t> propertyList);

// A strict 8-4-4-4-12 hexadecimal UUID text.
bool isStrictUuidText(std::string_view text);

// A byte count as the user reads it ("4.0 GB").
std::string describedSize(std::uint64_t bytes);

// Reads a regular file of at most `maximumBytes`, never through a symbolic link.
Bytes readBoundedFile(const std::filesystem::path& path, std::uint64_t maximumBytes);

}  // namespace legacyarchive

}  // namespace harbelle
