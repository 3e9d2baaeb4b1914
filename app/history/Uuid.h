#pragma once

#include <array>
#include <cstdint>
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

template <>
struct std::hash<harbelle::Uuid> {
    std::size_t operator()(const harbelle::Uuid& id) const noexcept {
        std::size_t h = 0;
        for (auto b : id.bytes()) h = h * 131 + b;
        return h;
    }
};
