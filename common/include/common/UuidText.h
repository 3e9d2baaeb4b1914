#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The 8-4-4-4-12 hexadecimal text of a UUID, for the identifiers of every layer.
namespace harbelle::uuidtext {

using Bytes16 = std::array<std::uint8_t, 16>;

inline constexpr std::array<std::int8_t, 256> kHexValues = [] {
    std::array<std::int8_t, 256> values{};
    for (auto& v : values) v = -1;
    for (int i = 0; i < 10; ++i) values[static_cast<std::size_t>('0' + i)] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i)
        values[static_cast<std::size_t>('a' + i)] = values[static_cast<std::size_t>('A' + i)] =
            static_cast<std::int8_t>(10 + i);
    return values;
}();

// The 16 bytes of a UUID text in either case; nullopt for anything else.
inline std::optional<Bytes16> parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes16 bytes{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = kHexValues[static_cast<unsigned char>(text[i])];
        const int lo = kHexValues[static_cast<unsigned char>(text[i + 1])];
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[byte++] = static_cast<std::uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return bytes;
}

// `digits` is "0123456789abcdef" or its upper-case twin.
inline std::string format(const Bytes16& bytes, const char* digits) {
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0f]);
    }
    return out;
}

}  // namespace harbelle::uuidtext
