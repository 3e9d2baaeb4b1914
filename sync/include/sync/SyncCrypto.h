#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace harbelle::sync {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental SHA-256 over OpenSSL's EVP interface.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    Sha256Digest finish();

private:
    void* context_;
};

std::string hexLower(const std::uint8_t* data, std::size_t size);
std::string sha256Hex(std::string_view bytes);

}  // namespace harbelle::sync
