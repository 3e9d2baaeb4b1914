#include "history/Fingerprint.h"

#include <cstring>
#include <functional>

namespace harbelle {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case too: it would not read back the same
}

bool parseDigest(std::string_view text, std::array<std::uint8_t, 32>& out) {
    if (text.size() != 64) return false;
    for (std::size_t i = 0; i < 32; ++i) {
        const int high = hexDigit(text[2 * i]);
        const int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace

Fingerprint& Fingerprint::assign(std::string_view text) {
    Digest digest;
    if (parseDigest(text, digest)) value_ = digest;
    else if (auto* held = std::get_if<std::string>(&value_)) held->assign(text);
    else value_ = std::string(text);
    return *this;
}

std::string Fingerprint::str() const {
    if (const auto* text = std::get_if<std::string>(&value_)) return *text;
    static constexpr char kHex[] = "0123456789abcdef";
    const Digest& digest = std::get<Digest>(value_);
    std::string out(64, '\0');
    for (std::size_t i = 0; i < 32; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    return out;
}

bool Fingerprint::empty() const noexcept {
    const auto* text = std::get_if<std::string>(&value_);
    return text && text->empty();
}

std::size_t Fingerprint::size() const noexcept {
    const auto* text = std::get_if<std::string>(&value_);
    return text ? text->size() : 64;
}

std::uint64_t Fingerprint::hash() const noexcept {
    if (const auto* text = std::get_if<std::string>(&value_)) return std::hash<std::string_view>{}(*text);
    std::uint64_t word;
    std::memcpy(&word, std::get<Digest>(value_).data(), sizeof word);  // a digest's bytes are already uniform
    return word;
}

}  // namespace harbelle
