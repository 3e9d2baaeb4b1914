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

// True when the data starts with an LZFSE block magic ("bvx-", "bvxn", "bvx1", "bvx2", "bvx$").
bool looksLikeLzfse(std::span<const std::uint8_t> data);

// Decodes a whole LZFSE stream. Each block's declared size is held against what its bytes can
// expand to, and the output grows as blocks decode; refuses input over 128 MiB or a declared
// total of 512 MiB or more.
// A smaller `maximumOutput` refuses a declared total above it, before anything is allocated.
LzfseResult decodeLzfse(std::span<const std::uint8_t> data, std::uint64_t maximumOutput = std::uint64_t{512} << 20);

}  // namespace harbelle
