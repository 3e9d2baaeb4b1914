#include "sync/SyncImageSniffer.h"

#include <cstdint>

namespace harbelle::sync {
namespace {

std::uint32_t be32(std::string_view b, std::size_t at) {
    return (std::uint32_t(std::uint8_t(b[at])) << 24) | (std::uint32_t(std::uint8_t(b[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(b[at + 2])) << 8) | std::uint32_t(std::uint8_t(b[at + 3]));
}

std::uint16_t be16(std::string_view b, std::size_t at) {
    return std::uint16_t((std::uint8_t(b[at]) << 8) | std::uint8_t(b[at + 1]));
}

std::optional<SyncImageHeader> sniffPNG(std::string_view b) {
    static constexpr std::string_view signature("\x89PNG\r\n\x1a\n", 8);
    if (b.size() < 8 + 8 + 13 || b.substr(0, 8) != signature) return std::nullopt;
    if (be32(b, 8) != 13 || b.substr(12, 4) != "IHDR") return std::nullopt;
    auto width = be32(b, 16), height = be32(b, 20);
    if (width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff) return std::nullopt;
    // Some image data must follow the header.
    if (b.find("IDAT", 33) == std::string_view::npos) return std::nullopt;
    return SyncImageHeader{"image/png", int(width), int(height)};
}

std::optional<SyncImageHeader> sniffJPEG(std::string_view b) {
    if (b.size() < 4 || std::uint8_t(b[0]) != 0xFF || std::uint8_t(b[1]) != 0xD8) return std::nullopt;
    std::size_t at = 2;
    while (at + 4 <= b.size()) {
        if (std::uint8_t(b[at]) != 0xFF) return std::nullopt;
        std::uint8_t marker = std::uint8_t(b[at + 1]);
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        std::uint16_t length = be16(b, at + 2);
        if (length < 2 || at + 2 + length > b.size()) return std::nullopt;
        bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7) return std::nullopt;
            int height = be16(b, at + 5), width = be16(b, at + 7);
            if (width == 0 || height == 0) return std::nullopt;
            return SyncImageHeader{"image/jpeg", width, height};
        }
        if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // scan before any frame header
        at += 2 + length;
    }
    return std::nullopt;
}

}  // namespace

std::optional<SyncImageHeader> sniffSyncImage(std::string_view bytes) {
    if (auto png = sniffPNG(bytes)) return png;
    return sniffJPEG(bytes);
}

}  // namespace harbelle::sync
