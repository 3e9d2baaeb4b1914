// Known answers come from outside: RFC 5869, RFC 4231, RFC 7914, NIST GCM cases, the openssl
// command line (kdf, dgst) and Python's cryptography package.
#include <gtest/gtest.h>
#include <openssl/evp.h>


#include "sync/SyncCrypto.h"
#include "sync/SyncServiceError.h"
#include "sync/SyncText.h"

namespace harbelle::sync {
namespace {

std::string unhex(std::string_view hex) { return *hexDecode(hex); }

TEST(SyncCryptoTest, PrimitivesMatchPublishedVectors) {
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // RFC 4231 case 2.
    EXPECT_EQ(hexLower(hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // RFC 5869 case 3: no salt, no info.
    EXPECT_EQ(hexLower(hkdfSha256(std::string(22, '\x0b'), "", 42)),
              "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
    // RFC 7914 section 11 (PBKDF2-HMAC-SHA256, c = 1).
    EXPECT_EQ(hexLower(pbkdf2Sha256("passwd", "salt", 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
}

TEST(SyncCryptoTest, AesGcmMatchesNistCases) {
    // GCM test case 14.
    EXPECT_EQ(hexLower(aesGcmEncrypt(std::string(32, '\0'), std::string(12, '\0'), std::string(16, '\0'), "")),
              "cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919");
    // GCM test case 16 (with additional data).
    std::string key = unhex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    std::string iv = unhex("cafebabefacedbaddecaf888");
    std::string plain = unhex(
        "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39");
    std::string aad = unhex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
    std::string sealed = aesGcmEncrypt(key, iv, plain, aad);
    EXPECT_EQ(hexLower(sealed),
              "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662"
              "76fc6ece0f4e1768cddf8853bb2d551b");
    EXPECT_EQ(aesGcmDecrypt(key, iv, sealed, aad), plain);
    sealed[5] ^= 1;
    EXPECT_EQ(aesGcmDecrypt(key, iv, sealed, aad), std::nullopt);
}

TEST(SyncCryptoTest, AccountKeysMatchOpensslCommandLine) {
    // openssl kdf PBKDF2 (iter 1000), then HKDF with each info text.
    std::string salt = unhex("000102030405060708090a0b0c0d0e0f");
    auto keys = deriveAccountKeys("correct horse battery", salt, 1000);
    EXPECT_EQ(hexLower(keys.authKey), "9b032c60a3029703edc1c0c6b9d280c48504b28f91019a6cca77be810edfaab7");
    EXPECT_EQ(hexLower(keys.kek), "ed599d6c2820c6b145de017b418641ec7aac9ff678ddf6f8eb71aec4bcba2a95");

    // openssl dgst -mac HMAC over "text\0…", "image\0…", "blob\0…".
    std::string mac = unhex("02169e674d80c0fc7292e8610c8f17be140df062af9aa33ea85eaabecffdf08d");
    std::string digest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    EXPECT_EQ(textContentMac(mac, "hello clipboard"), "e39d4e3dc875d0ae542b2b114bd78b50f276ce4f7574e51f613eca6a2f46b7ac");
    EXPECT_EQ(imageContentMac(mac, digest), "4a750bae467de55a4598640d7c507805f4d3b7bd83a987ec4fe63c200108abe4");
    EXPECT_EQ(blobKeyForDigest(mac, digest), "358ddb2534eedc7cf47e4b6d8522fab819d44f04f7feec0671a8f3640ce05e92");
}

TEST(SyncCryptoTest, SealedClipMatchesOutsideAesGcmAndRefusesTampering) {
    std::string key;
    for (int i = 0; i < 32; ++i) key.push_back(char(i));
    std::string nonce;
    for (int i = 100; i < 112; ++i) nonce.push_back(char(i));
    const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    const std::string json = R"({"kind":"text","text":"hi","v":1})";
    // Python cryptography AESGCM with the same nonce and AAD "harbelle-sync/v1/clip|" + id.
    const std::string expected =
        "016465666768696a6b6c6d6e6f3339b50f178d74a41c163a90ae4746df36a77e7ea956d11acef3806a8d819f79e987da51953fcb120d9bdfd4"
        "aeeb2beb08";
    std::string box = sealBox(key, json, "harbelle-sync/v1/clip|" + id, nonce);
    EXPECT_EQ(hexLower(box), expected);
    EXPECT_EQ(openClip(key, unhex(expected), id), json);

    std::string otherVersion = box;
    otherVersion[0] = 0x02;
    std::string flipped = box;
    flipped.back() ^= 0x40;
    for (const auto& [name, input, aadID] : std::vector<std::tuple<const char*, std::string, std::string>>{
             {"version", otherVersion, id}, {"short", box.substr(0, kSealOverhead - 1), id}, {"tag", flipped, id},
             {"aad", box, "00000000-0000-4000-8000-000000000000"}}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(openClip(key, input, aadID), SyncCryptoError);
    }
    // A fresh seal uses a fresh nonce.
    EXPECT_NE(sealClip(key, json, id), sealClip(key, json, id));
}

TEST(SyncCryptoTest, WrappedSyncKeyIsBoundToTheAddress) {
    std::string kek = randomBytes(32), syncKey = randomBytes(32);
    std::string wrapped = wrapSyncKey(kek, syncKey, "a@example.com");
    EXPECT_EQ(unwrapSyncKey(kek, wrapped, "a@example.com"), syncKey);
    EXPECT_THROW(unwrapSyncKey(kek, wrapped, "b@example.com"), SyncCryptoError);
    EXPECT_THROW(unwrapSyncKey(kek, wrapSyncKey(kek, randomBytes(16), "a@example.com"), "a@example.com"), SyncCryptoError);
}

TEST(SyncCryptoTest, RefusedKdfParametersFailBeforePbkdf2) {
    struct Case {
        const char* algorithm;
        std::string salt;
        std::int64_t iterations;
    };
    for (const Case& c : std::vector<Case>{{"pbkdf2-sha256", std::string(16, 's'), 599'999},
                                           {"pbkdf2-sha256", std::string(16, 's'), 10'000'001},
                                           {"pbkdf2-sha256", std::string(16, 's'), 4'000'000'000'000},
                                           {"pbkdf2-sha256", "", 600'000},
                                           {"pbkdf2-sha256", "s", 600'000},
                                           {"pbkdf2-sha256", std::string(15, 's'), 600'000},
                                           {"pbkdf2-sha256", std::string(17, 's'), 600'000},
                                           {"pbkdf2-sha256", std::string(20u << 20, 's'), 600'000},
                                           {"scrypt", std::string(16, 's'), 600'000}}) {
        SCOPED_TRACE(std::to_string(c.salt.size()) + "-byte salt, " + std::to_string(c.iterations));
        try {
            deriveAccountKeys("password", SyncKDFParameters{c.algorithm, c.salt, c.iterations});
            ADD_FAILURE() << "accepted";
        } catch (const SyncServiceError& error) {
            EXPECT_EQ(error.code(), SyncServiceErrorCode::invalidResponse);
        }
    }
    EXPECT_NO_THROW(validateKDFParameters({"pbkdf2-sha256", std::string(16, 's'), 10'000'000}));
}

TEST(SyncCryptoTest, DerivationMatchesOpenSSLAndIsGivenUpWhenAsked) {
    // Past several slices and over two blocks.
    std::string reference(64, '\0');
    ASSERT_EQ(PKCS5_PBKDF2_HMAC("Password", 8, reinterpret_cast<const unsigned char*>("NaCl"), 4, 80'000, EVP_sha256(),
                                64, reinterpret_cast<unsigned char*>(reference.data())),
              1);
    EXPECT_EQ(pbkdf2Sha256("Password", "NaCl", 80'000, 64), reference);
    int asked = 0;
    EXPECT_THROW(pbkdf2Sha256("password", std::string(16, 's'), kMaximumIterations, 32, [&] { return ++asked == 3; }),
                 SyncDerivationCancelled);
    EXPECT_EQ(asked, 3);
}

TEST(SyncCryptoTest, Base64AndHexAreStrict) {
    for (const auto& [plain, text] : std::vector<std::pair<std::string, std::string>>{
             {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {std::string("\xff\xfe\x00", 3), "//4A"}}) {
        EXPECT_EQ(base64Encode(plain), text);
        EXPECT_EQ(base64Decode(text), plain);
    }
    for (const char* bad : {"Zg", "Zg=", "Z===", "Zh==", "Zm9v\n", "Zm-v", "====", "Zg==Zg=="})
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    EXPECT_EQ(hexDecode("0aFf"), std::string("\x0a\xff"));
    EXPECT_EQ(hexDecode("0g"), std::nullopt);
    EXPECT_EQ(hexDecode("abc"), std::nullopt);
}

TEST(SyncCryptoTest, UuidsAreVersion4LowerCase) {
    std::string id = randomUUID();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4');
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos);
    EXPECT_EQ(id.find_first_of("ABCDEF"), std::string::npos);
}

TEST(SyncTextTest, EmailsAreTrimmedLowerCasedAndValidated) {
    EXPECT_EQ(normalizeEmail(" \t\u00A0\u2028Ünïcode@Example.COM\r\n\u2029"), "ünïcode@example.com");
    EXPECT_EQ(normalizeEmail("İ@EXAMPLE.COM"), "i\u0307@example.com");  // root locale, not Turkish
    EXPECT_EQ(normalizeEmail(" \n "), "");
    for (const auto& [email, valid] : std::vector<std::pair<std::string, bool>>{
             {"a@b", true}, {"@b", false}, {"a@", false}, {"a@b@c", false}, {"a b@c", false}, {"a\u2003b@c", false},
             {"", false}, {std::string(250, 'a') + "@b.c", true}, {std::string(251, 'a') + "@b.c", false}})
        EXPECT_EQ(isValidEmail(email), valid) << email;
}

TEST(SyncTextTest, PasswordsAreNfcAndCountedInGraphemes) {
    EXPECT_EQ(normalizePassword("e\u0301t\u00e9"), "\u00e9t\u00e9");
    EXPECT_EQ(pbkdf2Sha256(normalizePassword("cafe\u0301"), "salt", 1), pbkdf2Sha256("caf\u00e9", "salt", 1));
    EXPECT_EQ(graphemeCount("e\u0301e\u0301e\u0301"), 3u);
    EXPECT_EQ(graphemeCount("\U0001F1E9\U0001F1EA\U0001F469\u200D\U0001F4BB"), 2u);  // a flag and a ZWJ sequence
    EXPECT_EQ(graphemeCount("abcdefghij"), 10u);
}

}  // namespace
}  // namespace harbelle::sync
