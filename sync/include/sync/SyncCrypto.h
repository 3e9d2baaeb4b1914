#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sync/SyncModels.h"

// Byte strings are std::string throughout (keys, nonces, ciphertext).
namespace harbelle::sync {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A cryptographic primitive failed, or a sealed box did not open.
class SyncCryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A key derivation given up because its caller is going away (quit, sign-out).
class SyncDerivationCancelled : public std::runtime_error {
public:
    SyncDerivationCancelled() : std::runtime_error("The key derivation was cancelled.") {}
};

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
std::string hexLower(std::string_view bytes);
std::optional<std::string> hexDecode(std::string_view hex);
std::string sha256Hex(std::string_view bytes);
std::string sha256(std::string_view bytes);

// Standard Base64 with padding; decode refuses anything else.
std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

std::string randomBytes(std::size_t count);
// A new random lower-case UUID text (version 4).
std::string randomUUID();

// `cancelled` is asked every few thousand iterations; true throws SyncDerivationCancelled.
std::string pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint64_t iterations,
                         std::size_t length = 32, const std::function<bool()>& cancelled = {});
// HKDF-SHA256 with no salt.
std::string hkdfSha256(std::string_view key, std::string_view info, std::size_t length = 32);
std::string hmacSha256(std::string_view key, std::string_view data);

// AES-256-GCM: ciphertext followed by the 16-byte tag.
std::string aesGcmEncrypt(std::string_view key, std::string_view nonce, std::string_view plaintext,
                          std::string_view aad);
// nullopt on a tag mismatch.
std::optional<std::string> aesGcmDecrypt(std::string_view key, std::string_view nonce,
                                         std::string_view ciphertextAndTag, std::string_view aad);

// 0x01 ‖ 12-byte nonce ‖ ciphertext ‖ tag. The nonce is random unless given (tests).
std::string sealBox(std::string_view key, std::string_view plaintext, std::string_view aad,
                 std::optional<std::string_view> nonce = std::nullopt);
// Throws SyncCryptoError for another version byte, a short input or a tag mismatch.
std::string openBox(std::string_view key, std::string_view box, std::string_view aad);

inline constexpr std::uint64_t kRegistrationIterations = 600'000;
inline constexpr std::uint64_t kMinimumIterations = 600'000;
inline constexpr std::uint64_t kMaximumIterations = 10'000'000;
inline constexpr std::size_t kSealOverhead = 1 + 12 + 16;
// Every account's salt: 16 random bytes, made at registration and at a password change.
inline constexpr std::size_t kSaltLength = 16;

// master = PBKDF2(NFC password, salt, iterations); auth_key and kek from it.
struct SyncAccountKeys {
    std::string authKey;
    std::string kek;
};
SyncAccountKeys deriveAccountKeys(std::string_view normalizedPassword, std::string_view salt,
                                  std::uint64_t iterations, const std::function<bool()>& cancelled = {});

// Refuses, with SyncServiceError(invalidResponse), parameters a service must not talk us into:
// another algorithm, a salt other than 16 bytes, iterations outside 600,000...10,000,000.
void validateKDFParameters(const SyncKDFParameters& parameters);
// Validates first, so a refused answer never costs a PBKDF2 run.
SyncAccountKeys deriveAccountKeys(std::string_view normalizedPassword, const SyncKDFParameters& parameters,
                                  const std::function<bool()>& cancelled = {});

// clip, blob and mac keys from the sync key.
struct SyncContentKeys {
    std::string clipKey;
    std::string blobKey;
    std::string macKey;
};
SyncContentKeys deriveContentKeys(std::string_view syncKey);

std::string wrapSyncKey(std::string_view kek, std::string_view syncKey, std::string_view normalizedEmail);
// Throws SyncCryptoError, also when the result is not 32 bytes.
std::string unwrapSyncKey(std::string_view kek, std::string_view wrapped, std::string_view normalizedEmail);

std::string sealClip(std::string_view clipKey, std::string_view clipJSON, std::string_view clientID);
std::string openClip(std::string_view clipKey, std::string_view sealed, std::string_view clientID);
std::string sealBlob(std::string_view blobKeyMaterial, std::string_view imageBytes, std::string_view blobKey);
std::string openBlob(std::string_view blobKeyMaterial, std::string_view sealed, std::string_view blobKey);

// Lower-case hex HMACs with the mac key.
std::string textContentMac(std::string_view macKey, std::string_view text);
std::string imageContentMac(std::string_view macKey, std::string_view digest);
std::string blobKeyForDigest(std::string_view macKey, std::string_view digest);
// Authenticates a record's date for its content: HMAC("created\0" + content_mac + "\0" + seconds).
std::string createdMac(std::string_view macKey, std::string_view contentMac, std::int64_t createdAt);
// Authenticates the deletion of one record: HMAC("delete\0" + client_id + "\0" + created_at
// seconds of the clip deleted), so it removes no other clip that later holds the id. Without
// a known date the text after the id is empty, and no holder of the clip accepts it.
std::string deleteMac(std::string_view macKey, std::string_view clientID, std::optional<std::int64_t> createdAt);
// Constant-time comparison of two MAC texts.
bool macEquals(std::string_view expected, std::string_view given);

}  // namespace harbelle::sync
