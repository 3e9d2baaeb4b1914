#include "platform/linux/UpdateSignature.h"

#include <openssl/evp.h>

#include <memory>

#include "platform/Base64.h"

namespace harbelle {

bool verifyEd25519Signature(std::string_view data, std::string_view base64Signature,
                            std::string_view base64PublicKey) {
    auto key = decodeBase64Strict(base64PublicKey);
    auto signature = decodeBase64Strict(base64Signature);
    if (!key || key->size() != 32 || !signature || signature->size() != 64) return false;

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key->data(), key->size()),
        &EVP_PKEY_free);
    if (!publicKey) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context) return false;
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature->data(), signature->size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

}  // namespace harbelle
