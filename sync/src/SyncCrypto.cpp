#include "sync/SyncCrypto.h"

#include "sync/SyncServiceError.h"

#include "common/Base64.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace harbelle::sync {

namespace {

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

constexpr std::uint8_t kBoxVersion = 0x01;
constexpr std::size_t kNonceLength = 12;
constexpr std::size_t kTagLength = 16;

}  // namespace

namespace {

// Fetched once: a digest made per clip (fingerprints, account scopes) would otherwise look the
// algorithm up in the provider tables every time.
const EVP_MD* sha256Algorithm() {
    static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched ? fetched : EVP_sha256();
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), sha256Algorithm(), nullptr) != 1)
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

std::string hexLower(std::string_view data) { return hexLower(bytes(data), data.size()); }

std::optional<std::string> hexDecode(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi << 4 | lo));
    }
    return out;
}

std::string sha256(std::string_view data) {
    Sha256 hash;
    hash.update(data);
    auto digest = hash.finish();
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string sha256Hex(std::string_view data) {
    Sha256 hash;
    hash.update(data);
    auto digest = hash.finish();
    return hexLower(digest.data(), digest.size());
}

std::string base64Encode(std::string_view data) {
    std::string out(base64::encodedSize(data.size()), '=');
    base64::encodeTo(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), out.data());
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) { return base64::valueOf(static_cast<unsigned char>(c)); };
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int pad = 0;
        if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
        int v[4];
        for (int k = 0; k < 4; ++k) {
            if (k >= 4 - pad) { v[k] = 0; continue; }
            v[k] = value(text[i + k]);
            if (v[k] < 0) return std::nullopt;
        }
        std::uint32_t n = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
        out.push_back(char(n >> 16));
        if (pad < 2) out.push_back(char((n >> 8) & 0xff));
        if (pad < 1) out.push_back(char(n & 0xff));
        // Bits below the padding must be zero (one canonical text per byte string).
        if ((pad == 1 && (n & 0xff)) || (pad == 2 && (n & 0xffff))) return std::nullopt;
    }
    return out;
}

std::string randomBytes(std::size_t count) {
    std::string out(count, '\0');
    if (count && RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1)
        throw SyncCryptoError("No random bytes available.");
    return out;
}

std::string randomUUID() {
    std::string b = randomBytes(16);
    b[6] = char((std::uint8_t(b[6]) & 0x0f) | 0x40);
    b[8] = char((std::uint8_t(b[8]) & 0x3f) | 0x80);
    std::string hex = hexLower(b);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint64_t iterations, std::size_t length,
                         const std::function<bool()>& cancelled) {
    if (iterations == 0 || iterations > 0x7fffffff) throw SyncCryptoError("Bad PBKDF2 iteration count.");
    // PBKDF2 step by step over HMAC (RFC 8018), so a long derivation can be given up between
    // two slices: quitting never waits out ten million iterations. Re-initialising the MAC
    // with no key reuses its keyed state, as OpenSSL's own PBKDF2 does.
    std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr), EVP_MAC_free);
    std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr,
                                                                   EVP_MAC_CTX_free);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    // An empty password is a valid HMAC key; OpenSSL wants a non-null pointer for it.
    static const unsigned char none = 0;
    if (!ctx || EVP_MAC_init(ctx.get(), password.empty() ? &none : bytes(password), password.size(), params) != 1)
        throw SyncCryptoError("PBKDF2 failed.");
    constexpr std::size_t kBlock = 32;
    constexpr std::uint64_t kSlice = 4096;
    std::string out;
    unsigned char u[kBlock], t[kBlock];
    for (std::uint32_t block = 1; out.size() < length; ++block) {
        const unsigned char index[4] = {static_cast<unsigned char>(block >> 24), static_cast<unsigned char>(block >> 16),
                                        static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
        std::size_t n = 0;
        bool ok = EVP_MAC_init(ctx.get(), nullptr, 0, nullptr) == 1 &&
                  EVP_MAC_update(ctx.get(), bytes(salt), salt.size()) == 1 && EVP_MAC_update(ctx.get(), index, 4) == 1 &&
                  EVP_MAC_final(ctx.get(), u, &n, kBlock) == 1;
        std::memcpy(t, u, kBlock);
        for (std::uint64_t i = 1; ok && i < iterations; ++i) {
            if (i % kSlice == 0 && cancelled && cancelled()) throw SyncDerivationCancelled();
            ok = EVP_MAC_init(ctx.get(), nullptr, 0, nullptr) == 1 && EVP_MAC_update(ctx.get(), u, kBlock) == 1 &&
                 EVP_MAC_final(ctx.get(), u, &n, kBlock) == 1;
            for (std::size_t k = 0; k < kBlock; ++k) t[k] ^= u[k];
        }
        if (!ok) throw SyncCryptoError("PBKDF2 failed.");
        out.append(reinterpret_cast<const char*>(t), std::min(kBlock, length - out.size()));
    }
    OPENSSL_cleanse(u, kBlock);
    OPENSSL_cleanse(t, kBlock);
    return out;
}

std::string hkdfSha256(std::string_view key, std::string_view info, std::size_t length) {
    std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr), EVP_KDF_free);
    if (!kdf) throw SyncCryptoError("HKDF is unavailable.");
    std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> ctx(EVP_KDF_CTX_new(kdf.get()), EVP_KDF_CTX_free);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(key.data()), key.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()), info.size()),
        OSSL_PARAM_construct_end(),
    };
    std::string out(length, '\0');
    if (!ctx || EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), length, params) != 1)
        throw SyncCryptoError("HKDF failed.");
    return out;
}

std::string hmacSha256(std::string_view key, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes(data), data.size(), out, &length))
        throw SyncCryptoError("HMAC failed.");
    return std::string(reinterpret_cast<char*>(out), length);
}

std::string aesGcmEncrypt(std::string_view key, std::string_view nonce, std::string_view plaintext, std::string_view aad) {
    if (key.size() != 32 || nonce.size() != kNonceLength) throw SyncCryptoError("Bad AES-GCM key or nonce.");
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    std::string out(plaintext.size() + kTagLength, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    int len = 0, total = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, int(kNonceLength), nullptr) == 1 &&
              EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)) == 1 &&
              (aad.empty() || EVP_EncryptUpdate(ctx.get(), nullptr, &len, bytes(aad), int(aad.size())) == 1);
    if (ok && !plaintext.empty()) {
        ok = EVP_EncryptUpdate(ctx.get(), o, &len, bytes(plaintext), int(plaintext.size())) == 1;
        total = len;
    }
    ok = ok && EVP_EncryptFinal_ex(ctx.get(), o + total, &len) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, int(kTagLength), o + plaintext.size()) == 1;
    if (!ok) throw SyncCryptoError("AES-GCM encryption failed.");
    return out;
}

std::optional<std::string> aesGcmDecrypt(std::string_view key, std::string_view nonce, std::string_view sealed,
                                         std::string_view aad) {
    if (key.size() != 32 || nonce.size() != kNonceLength) throw SyncCryptoError("Bad AES-GCM key or nonce.");
    if (sealed.size() < kTagLength) return std::nullopt;
    std::size_t textLength = sealed.size() - kTagLength;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    std::string out(textLength, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    int len = 0, total = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, int(kNonceLength), nullptr) == 1 &&
              EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)) == 1 &&
              (aad.empty() || EVP_DecryptUpdate(ctx.get(), nullptr, &len, bytes(aad), int(aad.size())) == 1);
    if (ok && textLength) {
        ok = EVP_DecryptUpdate(ctx.get(), o, &len, bytes(sealed), int(textLength)) == 1;
        total = len;
    }
    if (!ok) throw SyncCryptoError("AES-GCM decryption failed.");
    // The tag goes in before Final; Final's answer is the authentication check.
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, int(kTagLength),
                            const_cast<char*>(sealed.data() + textLength)) != 1)
        throw SyncCryptoError("AES-GCM decryption failed.");
    if (EVP_DecryptFinal_ex(ctx.get(), o + total, &len) != 1) return std::nullopt;
    return out;
}

std::string sealBox(std::string_view key, std::string_view plaintext, std::string_view aad,
                    std::optional<std::string_view> nonce) {
    std::string n = nonce ? std::string(*nonce) : randomBytes(kNonceLength);
    std::string out(1, char(kBoxVersion));
    out += n;
    out += aesGcmEncrypt(key, n, plaintext, aad);
    return out;
}

std::string openBox(std::string_view key, std::string_view box, std::string_view aad) {
    if (box.size() < kSealOverhead) throw SyncCryptoError("The sealed box is too short.");
    if (std::uint8_t(box[0]) != kBoxVersion) throw SyncCryptoError("The sealed box has an unknown version.");
    auto plain = aesGcmDecrypt(key, box.substr(1, kNonceLength), box.substr(1 + kNonceLength), aad);
    if (!plain) throw SyncCryptoError("The sealed box did not open.");
    return std::move(*plain);
}

SyncAccountKeys deriveAccountKeys(std::string_view normalizedPassword, std::string_view salt, std::uint64_t iterations,
                                  const std::function<bool()>& cancelled) {
    std::string master = pbkdf2Sha256(normalizedPassword, salt, iterations, 32, cancelled);
    return {hkdfSha256(master, "harbelle-sync/v1/auth"), hkdfSha256(master, "harbelle-sync/v1/kek")};
}

void validateKDFParameters(const SyncKDFParameters& p) {
    if (p.algorithm != "pbkdf2-sha256" || p.salt.size() != kSaltLength || p.iterations < std::int64_t(kMinimumIterations) ||
        p.iterations > std::int64_t(kMaximumIterations))
        throw SyncServiceError(SyncServiceErrorCode::invalidResponse, std::nullopt,
                               "refused kdf parameters (" + p.algorithm + ", " + std::to_string(p.salt.size()) +
                                   "-byte salt, " + std::to_string(p.iterations) + " iterations)");
}

SyncAccountKeys deriveAccountKeys(std::string_view normalizedPassword, const SyncKDFParameters& parameters,
                                  const std::function<bool()>& cancelled) {
    validateKDFParameters(parameters);
    return deriveAccountKeys(normalizedPassword, parameters.salt, static_cast<std::uint64_t>(parameters.iterations),
                             cancelled);
}

SyncContentKeys deriveContentKeys(std::string_view syncKey) {
    return {hkdfSha256(syncKey, "harbelle-sync/v1/clip"), hkdfSha256(syncKey, "harbelle-sync/v1/blob"),
            hkdfSha256(syncKey, "harbelle-sync/v1/mac")};
}

std::string wrapSyncKey(std::string_view kek, std::string_view syncKey, std::string_view normalizedEmail) {
    return sealBox(kek, syncKey, "harbelle-sync/v1/wrapped-key|" + std::string(normalizedEmail));
}

std::string unwrapSyncKey(std::string_view kek, std::string_view wrapped, std::string_view normalizedEmail) {
    std::string key = openBox(kek, wrapped, "harbelle-sync/v1/wrapped-key|" + std::string(normalizedEmail));
    if (key.size() != 32) throw SyncCryptoError("The sync key has the wrong length.");
    return key;
}

std::string sealClip(std::string_view clipKey, std::string_view clipJSON, std::string_view clientID) {
    return sealBox(clipKey, clipJSON, "harbelle-sync/v1/clip|" + std::string(clientID));
}

std::string openClip(std::string_view clipKey, std::string_view sealed, std::string_view clientID) {
    return openBox(clipKey, sealed, "harbelle-sync/v1/clip|" + std::string(clientID));
}

std::string sealBlob(std::string_view blobKeyMaterial, std::string_view imageBytes, std::string_view blobKey) {
    return sealBox(blobKeyMaterial, imageBytes, "harbelle-sync/v1/blob|" + std::string(blobKey));
}

std::string openBlob(std::string_view blobKeyMaterial, std::string_view sealed, std::string_view blobKey) {
    return openBox(blobKeyMaterial, sealed, "harbelle-sync/v1/blob|" + std::string(blobKey));
}

std::string textContentMac(std::string_view macKey, std::string_view text) {
    std::string data("text", 5);
    data.append(text);
    return hexLower(hmacSha256(macKey, data));
}

std::string imageContentMac(std::string_view macKey, std::string_view digest) {
    std::string data("image", 6);
    data.append(digest);
    return hexLower(hmacSha256(macKey, data));
}

std::string blobKeyForDigest(std::string_view macKey, std::string_view digest) {
    std::string data("blob", 5);
    data.append(digest);
    return hexLower(hmacSha256(macKey, data));
}

}  // namespace harbelle::sync

namespace harbelle::sync {

std::string createdMac(std::string_view macKey, std::string_view contentMac, std::int64_t createdAt) {
    std::string data("created", 8);
    data.append(contentMac);
    data.push_back('\0');
    data.append(std::to_string(createdAt));
    return hexLower(hmacSha256(macKey, data));
}

std::string deleteMac(std::string_view macKey, std::string_view clientID, std::optional<std::int64_t> createdAt) {
    std::string data("delete", 7);
    data.append(clientID);
    data.push_back('\0');
    if (createdAt) data.append(std::to_string(*createdAt));
    return hexLower(hmacSha256(macKey, data));
}

bool macEquals(std::string_view expected, std::string_view given) {
    // Constant time, so a service cannot learn a MAC byte by byte.
    return expected.size() == given.size() && CRYPTO_memcmp(expected.data(), given.data(), expected.size()) == 0;
}

}  // namespace harbelle::sync
