#include "legacyimport/LzfseDecoder.h"

namespace harbelle {

bool looksLikeLzfse(std::span<const std::uint8_t> data)
{
    if (data.size() < 4 || data[0] != 'b' || data[1] != 'v' || data[2] != 'x')
        return false;
    const std::uint8_t k = data[3];
    return k == '-' || k == 'n' || k == '1' || k == '2' || k == '$';
}

LzfseResult decodeLzfse(std::span<const std::uint8_t>)
{
    return {{}, "LZFSE decoding is not available yet"};
}

}  // namespace harbelle
