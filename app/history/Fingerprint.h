#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace harbelle {

// A clip's fingerprint text. Nearly every one is a SHA-256 digest written as 64 lowercase hex
// digits; those are held as their 32 bytes, inside the clip, instead of as a 65-byte string on
// the heap. Any other text is kept as it was given, so it reads back exactly.
class Fingerprint {
public:
    Fingerprint() noexcept : isDigest_(false) { new (&text_) std::string(); }
    Fingerprint(std::string_view text) : isDigest_(false) { construct(text); }  // NOLINT(google-explicit-constructor)
    Fingerprint(const std::string& text) : Fingerprint(std::string_view(text)) {}  // NOLINT(google-explicit-constructor)
    Fingerprint(const char* text) : Fingerprint(std::string_view(text)) {}  // NOLINT(google-explicit-constructor)
    Fingerprint(const Fingerprint& other);
    Fingerprint(Fingerprint&& other) noexcept;
    ~Fingerprint() { destroy(); }

    Fingerprint& operator=(const Fingerprint& other);
    Fingerprint& operator=(Fingerprint&& other) noexcept;
    Fingerprint& operator=(std::string_view text) { return assign(text); }
    Fingerprint& operator=(const std::string& text) { return assign(text); }
    Fingerprint& operator=(const char* text) { return assign(text); }
    Fingerprint& assign(std::string_view text);

    // The text as given.
    std::string str() const;
    operator std::string() const { return str(); }  // NOLINT(google-explicit-constructor)
    bool empty() const noexcept { return !isDigest_ && text_.empty(); }
    std::size_t size() const noexcept { return isDigest_ ? 64 : text_.size(); }
    // Equal texts hash equally, however they are held.
    std::uint64_t hash() const noexcept;

    friend bool operator==(const Fingerprint& a, const Fingerprint& b) noexcept;
    friend bool operator==(const Fingerprint& a, std::string_view b) { return a == Fingerprint(b); }
    friend bool operator==(const Fingerprint& a, const std::string& b) { return a == std::string_view(b); }
    friend bool operator==(const Fingerprint& a, const char* b) { return a == std::string_view(b); }

private:
    void construct(std::string_view text);
    void destroy() noexcept;

    union {
        std::array<std::uint8_t, 32> digest_;
        std::string text_;
    };
    bool isDigest_;
};

}  // namespace harbelle
