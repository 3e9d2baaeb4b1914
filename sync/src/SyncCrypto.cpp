#include "sync/SyncCrypto.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace harbelle::sync {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is unavailable");
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

void Sha256::update(const void* data, std::size_t size) {
    if (size == 0) return;
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size);
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest.data(), &length);
    return digest;
}

std::string hexLower(const std::uint8_t* data, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0f]);
    }
    return out;
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    auto digest = hash.finish();
    return hexLower(digest.data(), digest.size());
}

}  // namespace harbelle::sync
