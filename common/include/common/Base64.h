#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The standard Base64 alphabet, for the encoders and decoders of every layer.
namespace harbelle::base64 {

inline constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline constexpr std::array<std::int8_t, 256> kValues = [] {
    std::array<std::int8_t, 256> values{};
    for (auto& v : values) v = -1;
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return values;
}();

// A character's value in the alphabet, -1 outside it (padding included).
constexpr int valueOf(char32_t c) { return c < 256 ? kValues[c] : -1; }

// The length of the padded text of `size` bytes.
constexpr std::size_t encodedSize(std::size_t size) { return (size + 2) / 3 * 4; }

// Writes the padded text of `size` bytes at `to`, which has room for encodedSize(size)
// characters. In place: callers encode megabytes on the main thread.
inline void encodeTo(const std::uint8_t* data, std::size_t size, char* to) {
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3, to += 4) {
        const std::uint32_t v = std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8 | data[i + 2];
        to[0] = kAlphabet[v >> 18];
        to[1] = kAlphabet[(v >> 12) & 63];
        to[2] = kAlphabet[(v >> 6) & 63];
        to[3] = kAlphabet[v & 63];
    }
    if (i < size) {
        std::uint32_t v = std::uint32_t{data[i]} << 16;
        if (i + 1 < size) v |= std::uint32_t{data[i + 1]} << 8;
        to[0] = kAlphabet[v >> 18];
        to[1] = kAlphabet[(v >> 12) & 63];
        to[2] = i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
        to[3] = '=';
    }
}

}  // namespace harbelle::base64
