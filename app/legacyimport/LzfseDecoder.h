#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace harbelle {

struct LzfseResult {
    std::vector<std::uint8_t> bytes;
    std::string error;
    bool ok() const { return error.empty(); }
};

// Starts with an LZFSE block magic.
bool looksLikeLzfse(std::span<const std::uint8_t> data);
LzfseResult decodeLzfse(std::span<const std::uint8_t> data);

}  // namespace harbelle
