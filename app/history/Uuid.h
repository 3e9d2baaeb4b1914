#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace harbelle {

// A 128-bit identifier. Written upper-case with hyphens; read in either case.
class Uuid {
public:
    Uuid() = default;  // the nil UUID
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    static Uuid random();
    static std::optional<Uuid> parse(std::string_view text);

    std::string uppercaseString() const;
    std::string lowercaseString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool isNil() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace harbelle

// An id's two machine words, mixed: ids are random, so this is as good as a byte-wise hash and
// a lookup over a large history costs two loads per clip.
template <>
struct std::hash<harbelle::Uuid> {
    std::size_t operator()(const harbelle::Uuid& id) const noexcept {
        std::uint64_t words[2];
        std::memcpy(words, id.bytes().data(), sizeof words);
        return static_cast<std::size_t>(words[0] ^ (words[1] * 0x9E3779B97F4A7C15ULL));
    }
};
