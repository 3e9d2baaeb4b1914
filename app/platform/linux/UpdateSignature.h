#pragma once

#include <string>
#include <string_view>

#include "platform/Defaults.h"

namespace harbelle {

// Ed25519 check of a downloaded update against the feed's public key ("SUPublicEDKey", Base64 of
// 32 bytes) and the release's signature (Base64 of 64 bytes). Bad Base64 or a wrong length is a
// failed check, never an exception.
bool verifyEd25519Signature(std::string_view data, std::string_view base64Signature,
                            std::string_view base64PublicKey);

}  // namespace harbelle
