#include "history/Fingerprint.h"

#include <cstring>
#include <functional>
#include <new>
#include <utility>

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

void Fingerprint::construct(std::string_view text) {
    std::array<std::uint8_t, 32> digest;
    if (parseDigest(text, digest)) {
        new (&digest_) std::array<std::uint8_t, 32>(digest);
        isDigest_ = true;
    } else {
        new (&text_) std::string(text);
        isDigest_ = false;
    }
}

void Fingerprint::destroy() noexcept {
    if (!isDigest_) text_.~basic_string();
}

Fingerprint::Fingerprint(const Fingerprint& other) : isDigest_(other.isDigest_) {
    if (isDigest_) new (&digest_) std::array<std::uint8_t, 32>(other.digest_);
    else new (&text_) std::string(other.text_);
}

Fingerprint::Fingerprint(Fingerprint&& other) noexcept : isDigest_(other.isDigest_) {
    if (isDigest_) new (&digest_) std::array<std::uint8_t, 32>(other.digest_);
    else new (&text_) std::string(std::move(other.text_));
}

Fingerprint& Fingerprint::operator=(const Fingerprint& other) {
    if (this == &other) return *this;
    if (!isDigest_ && !other.isDigest_) {
        text_ = other.text_;
        return *this;
    }
    destroy();
    isDigest_ = other.isDigest_;
    if (isDigest_) new (&digest_) std::array<std::uint8_t, 32>(other.digest_);
    else new (&text_) std::string(other.text_);
    return *this;
}

Fingerprint& Fingerprint::operator=(Fingerprint&& other) noexcept {
    if (this == &other) return *this;
    destroy();
    isDigest_ = other.isDigest_;
    if (isDigest_) new (&digest_) std::array<std::uint8_t, 32>(other.digest_);
    else new (&text_) std::string(std::move(other.text_));
    return *this;
}

Fingerprint& Fingerprint::assign(std::string_view text) {
    std::array<std::uint8_t, 32> digest;
    if (parseDigest(text, digest)) {
        destroy();
        new (&digest_) std::array<std::uint8_t, 32>(digest);
        isDigest_ = true;
    } else if (!isDigest_) {
        text_.assign(text);
    } else {
        new (&text_) std::string(text);
        isDigest_ = false;
    }
    return *this;
}

std::string Fingerprint::str() const {
    if (!isDigest_) return text_;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(64, '\0');
    for (std::size_t i = 0; i < 32; ++i) {
        out[2 * i] = kHex[digest_[i] >> 4];
        out[2 * i + 1] = kHex[digest_[i] & 0x0F];
    }
    return out;
}

std::uint64_t Fingerprint::hash() const noexcept {
    if (!isDigest_) return std::hash<std::string_view>{}(text_);
    std::uint64_t word;
    std::memcpy(&word, digest_.data(), sizeof word);  // a digest's bytes are already uniform
    return word;
}

bool operator==(const Fingerprint& a, const Fingerprint& b) noexcept {
    if (a.isDigest_ != b.isDigest_) return false;  // the same text is always held the same way
    return a.isDigest_ ? a.digest_ == b.digest_ : a.text_ == b.text_;
}

}  // namespace harbelle
