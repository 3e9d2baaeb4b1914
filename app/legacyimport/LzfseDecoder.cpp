#include "legacyimport/LzfseDecoder.h"

#include <cstring>

namespace harbelle {

bool looksLikeLzfse(std::span<const std::uint8_t> data) {
    if (data.size() < 4 || std::memcmp(data.data(), "bvx", 3) != 0) return false;
    const char kind = static_cast<char>(data[3]);
    return kind == '-' || kind == 'n' || kind == '1' || kind == '2' || kind == '$';
}

LzfseResult decodeLzfse(std::span<const std::uint8_t>) { return {{}, "not built yet"}; }

}  // namespace harbelle
