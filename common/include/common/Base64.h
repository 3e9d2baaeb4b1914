#pragma once

#include <array>
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

}  // namespace harbelle::base64
