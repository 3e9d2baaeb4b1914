#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace harbelle {

// A clip's fingerprint text. Nearly every one is a SHA-256 digest written as 64 lowercase hex
// digits; those are held as their 32 bytes, inside the clip, instead of as a 65-byte string on
// the heap. Any other text is kept as it was given, so it reads back exactly.
class Fingerprint {
public:
    Fingerprint() = default;
    Fingerprint(std::string_view text) { assign(text); }  // NOLINT(google-explicit-constructor)
    Fingerprint(const std::string& text) : Fingerprint(std::string_view(text)) {}  // NOLINT(google-explicit-constructor)
    Fingerprint(const char* text) : Fingerprint(std::string_view(text)) {}  // NOLINT(google-explicit-constructor)

    Fingerprint& operator=(std::string_view text) { return assign(text); }
    Fingerprint& operator=(const std::string& text) { return assign(text); }
    Fingerprint& operator=(const char* text) { return assign(text); }
    Fingerprint& assign(std::string_view text);
    // A SHA-256 digest, held as it is: the same value as its hex text, without writing and
    // reading that text.
    static Fingerprint ofDigest(const std::array<std::uint8_t, 32>& digest) {
        Fingerprint fingerprint;
        fingerprint.value_ = digest;
        return fingerprint;
    }

    // The text as given.
    std::string str() const;
    operator std::string() const { return str(); }  // NOLINT(google-explicit-constructor)
    bool empty() const noexcept;
    std::size_t size() const noexcept;
    // Equal texts hash equally, however they are held.
    std::uint64_t hash() const noexcept;

    // The same text is always held the same way, so held values compare directly.
    friend bool operator==(const Fingerprint& a, const Fingerprint& b) = default;
    friend bool operator==(const Fingerprint& a, std::string_view b) { return a == Fingerprint(b); }
    friend bool operator==(const Fingerprint& a, const std::string& b) { return a == std::string_view(b); }
    friend bool operator==(const Fingerprint& a, const char* b) { return a == std::string_view(b); }

private:
    using Digest = std::array<std::uint8_t, 32>;
    std::variant<std::string, Digest> value_;
};

}  // namespace harbelle
