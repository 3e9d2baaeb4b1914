#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Defaults.h"

namespace harbelle {

// Standard Base64 read strictly: padded to a multiple of four, alphabet "A-Za-z0-9+/", "="
// only as the last one or two characters, and no white space or line breaks anywhere.
std::optional<Bytes> decodeBase64Strict(std::string_view text);
std::string encodeBase64(const Bytes& bytes);
// Appends the padded encoding of `bytes` to `out` (for writers building one large buffer).
void appendBase64(std::string& out, const Bytes& bytes);

}  // namespace harbelle
