#include "Util/Bytes.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Platform/PlainLog.h"
#include "tools/LogCapture.h"
#include "Util/CommonUtil.h"

namespace {

ByteBuffer hex(const std::string& text) { return CommonUtil::dataFromHexString(std::string_view(text)); }
ByteBuffer bytesOf(const std::string& text) { return ByteBuffer(text.begin(), text.end()); }

using testtools::LogCapture;

TEST(BytesAesTest, EmptyInputIsOnePaddingBlock) {
    const ByteBuffer key = hex("00112233445566778899AABBCCDDEEFF");
    const std::optional<ByteBuffer> enc = Bytes::AES256EncryptWithKeyData({}, key);
    ASSERT_TRUE(enc);
    EXPECT_EQ(16u, enc->size());
    const std::optional<ByteBuffer> dec = Bytes::AES256DecryptWithKeyData(*enc, key);
    ASSERT_TRUE(dec);
    EXPECT_TRUE(dec->empty());
    // With the wrong key the padding almost never checks out; when it does, it is not ours.
    const std::optional<ByteBuffer> wrong = Bytes::AES256DecryptWithKeyData(*enc, hex("01"));
    EXPECT_TRUE(!wrong || !wrong->empty());
}

TEST(BytesAesTest, KeyIsZeroPaddedToThirtyTwoBytes) {
    const ByteBuffer plain = bytesOf("a stored document, 37 bytes long...!");
    const ByteBuffer shortKey = hex("0102030405060708090A0B0C0D0E0F10");
    ByteBuffer padded = shortKey;
    padded.resize(32, 0);
    const auto a = Bytes::AES256EncryptWithKeyData(plain, shortKey);
    const auto b = Bytes::AES256EncryptWithKeyData(plain, padded);
    ASSERT_TRUE(a);
    EXPECT_EQ(a, b);
    EXPECT_EQ(48u, a->size());
    EXPECT_EQ(plain, Bytes::AES256DecryptWithKeyData(*a, shortKey));

    // Nil, empty and all-zero keys are one key.
    const auto zero = Bytes::AES256EncryptWithKeyData(plain, ByteBuffer(32, 0));
    EXPECT_EQ(zero, Bytes::AES256EncryptWithKeyData(plain, std::nullopt));
    EXPECT_EQ(zero, Bytes::AES256EncryptWithKeyData(plain, ByteBuffer{}));
    EXPECT_EQ(zero, Bytes::AES256EncryptWithKey(plain, std::nullopt));

    // The text key is its UTF-8 bytes.
    EXPECT_EQ(Bytes::AES256EncryptWithKeyData(plain, bytesOf("secret")), Bytes::AES256EncryptWithKey(plain, "secret"));
    EXPECT_EQ(plain, Bytes::AES256DecryptWithKey(*Bytes::AES256EncryptWithKey(plain, "secret"), "secret"));
}

TEST(BytesAesTest, KeyLongerThanBufferIsRefused) {
    const ByteBuffer plain = bytesOf("x");
    EXPECT_TRUE(Bytes::AES256EncryptWithKeyData(plain, ByteBuffer(32, 9)));
    EXPECT_FALSE(Bytes::AES256EncryptWithKeyData(plain, ByteBuffer(33, 9)));
    EXPECT_FALSE(Bytes::AES256DecryptWithKeyData(ByteBuffer(16, 0), ByteBuffer(33, 9)));
    EXPECT_FALSE(Bytes::AES256EncryptWithKey(plain, std::string(33, 'k')));
    EXPECT_FALSE(Bytes::AES256DecryptWithKey(ByteBuffer(16, 0), std::string(64, 'k')));
}

TEST(BytesAesTest, BadCiphertextIsNil) {
    EXPECT_FALSE(Bytes::AES256DecryptWithKeyData(ByteBuffer(15, 1), std::nullopt));
    EXPECT_FALSE(Bytes::AES256DecryptWithKeyData(ByteBuffer{}, std::nullopt));
}

TEST(BytesTripleDesTest, RoundTripPaddingAndFailures) {
    LogCapture log;
    const ByteBuffer plain = bytesOf("PIN block");
    const ByteBuffer key = hex("0123456789ABCDEF23456789ABCDEF01");  // 16 bytes: zero-padded to 24
    const auto enc = Bytes::tripleDesEncryptWithKeyData(plain, key);
    ASSERT_TRUE(enc);
    EXPECT_EQ(16u, enc->size());
    EXPECT_EQ(plain, Bytes::tripleDesDecryptWithKeyData(*enc, key));
    EXPECT_EQ(enc, Bytes::tripleDesEncryptWithKey(plain, std::string("\x01\x23\x45\x67\x89\xAB\xCD\xEF\x23\x45\x67\x89\xAB\xCD\xEF\x01")));
    EXPECT_EQ(Bytes::tripleDesEncryptWithKeyData(plain, ByteBuffer(24, 0)), Bytes::tripleDesEncryptWithKey(plain, std::nullopt));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(Bytes::tripleDesDecryptWithKeyData(*enc, std::nullopt));  // nil key: nil, no cipher call
    EXPECT_FALSE(Bytes::tripleDesEncryptWithKeyData(plain, std::nullopt));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(Bytes::tripleDesDecryptWithKeyData(ByteBuffer(7, 0), key));
    EXPECT_FALSE(Bytes::tripleDesDecryptWithKeyData(*enc, ByteBuffer(25, 1)));
    EXPECT_FALSE(Bytes::tripleDesEncryptWithKey(plain, std::string(25, 'k')));
    const std::vector<std::string> expected = {
        "Errorcode -4303: 3DES decryption failed.",
        "Errorcode -4300: 3DES decryption failed.",
        "Errorcode -4300: 3DES encryption failed.",
    };
    EXPECT_EQ(expected, log.lines());
}

TEST(BytesDigestTest, ByNameIgnoringCase) {
    const ByteBuffer abc = bytesOf("abc");
    struct Case {
        const char* name;
        std::optional<ByteBuffer> expected;
    };
    const Case cases[] = {
        {"SHA1", Bytes::sha1(abc)},     {"sha1", Bytes::sha1(abc)},     {"SHA2", Bytes::sha256(abc)},
        {"Sha2", Bytes::sha256(abc)},   {"sha256", Bytes::sha256(abc)}, {"SHA384", Bytes::sha384(abc)},
        {"sHa512", Bytes::sha512(abc)}, {"MD5", std::nullopt},          {"SHA-256", std::nullopt},
        {"", std::nullopt},             {"SHA3", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, Bytes::computeDigest(abc, c.name));
    }
    EXPECT_EQ("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
              CommonUtil::hexStringFromData(*Bytes::computeDigest(abc, "sha256")));
    EXPECT_EQ(20u, Bytes::sha1(abc).size());
    EXPECT_EQ(48u, Bytes::sha384(abc).size());
    EXPECT_EQ(64u, Bytes::sha512(abc).size());
}

// The MD5 operation once answered with the first 16 bytes of SHA-1.
TEST(BytesDigestTest, Md5IsTheMd5Digest) {
    const ByteBuffer abc = bytesOf("abc");
    EXPECT_EQ(hex("900150983cd24fb0d6963f7d28e17f72"), Bytes::md5(abc));
    const ByteBuffer sha1 = Bytes::sha1(abc);
    EXPECT_NE(ByteBuffer(sha1.begin(), sha1.begin() + 16), Bytes::md5(abc));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Bytes::md5String(abc));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Bytes::md5String({}));
}

TEST(BytesTextTest, Utf8AndDescription) {
    struct Case {
        ByteBuffer bytes;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {bytesOf("plain"), "plain"},
        {{}, ""},
        {hex("C3A6C3B8C3A5"), "\xC3\xA6\xC3\xB8\xC3\xA5"},
        {hex("F09F9880"), "\xF0\x9F\x98\x80"},
        {hex("C3"), std::nullopt},      // cut off
        {hex("C0AF"), std::nullopt},    // overlong
        {hex("EDA080"), std::nullopt},  // surrogate
        {hex("FF"), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CommonUtil::hexStringFromData(c.bytes));
        EXPECT_EQ(c.text, Bytes::UTF8String(c.bytes));
    }
    EXPECT_EQ("<00a40400 07>", Bytes::description(hex("00A4040007")));
    EXPECT_EQ("<>", Bytes::description(ByteBuffer{}));
    EXPECT_EQ("(null)", Bytes::description(std::optional<ByteBuffer>()));
}

}  // namespace
