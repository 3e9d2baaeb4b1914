#include "platform/Base64.h"

#include "common/Base64.h"

#include <cstdint>

namespace harbelle {


std::optional<Bytes> decodeBase64Strict(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    const std::size_t dataChars = text.size() - padding;
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (std::size_t i = 0; i < dataChars; ++i) {
        const int v = base64::valueOf(static_cast<unsigned char>(text[i]));
        if (v < 0) return std::nullopt;
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    return out;
}

void appendBase64(std::string& out, const Bytes& data) {
    const std::size_t start = out.size();
    out.resize(start + base64::encodedSize(data.size()));
    base64::encodeTo(data.data(), data.size(), out.data() + start);
}

std::string encodeBase64(const Bytes& bytes) {
    std::string out;
    appendBase64(out, bytes);
    return out;
}

}  // namespace harbelle
