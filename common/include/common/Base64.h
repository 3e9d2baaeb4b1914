#pragma once

// The standard Base64 alphabet's value of one character, -1 outside it (padding included).
namespace harbelle::base64 {

constexpr int valueOf(char32_t c) {
    if (c >= 'A' && c <= 'Z') return int(c - 'A');
    if (c >= 'a' && c <= 'z') return int(c - 'a') + 26;
    if (c >= '0' && c <= '9') return int(c - '0') + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace harbelle::base64
