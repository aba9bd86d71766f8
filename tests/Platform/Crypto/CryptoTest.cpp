#include "Platform/Crypto/Cipher.h"
#include "Platform/Crypto/Digest.h"
#include "Platform/Crypto/SecureRandom.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes xorBlock(Bytes a, const Bytes& b) {
    for (std::size_t i = 0; i < a.size(); ++i) a[i] ^= b[i];
    return a;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// FIPS 180-2 appendix examples and RFC 1321's test suite.
TEST(CryptoDigestTest, KnownAnswers) {
    struct Case {
        platform::DigestAlgorithm algorithm;
        std::string input;
        std::string digest;
    };
    const Case cases[] = {
        {platform::DigestAlgorithm::MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {platform::DigestAlgorithm::MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {platform::DigestAlgorithm::SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {platform::DigestAlgorithm::SHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {platform::DigestAlgorithm::SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {platform::DigestAlgorithm::SHA256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {platform::DigestAlgorithm::SHA384, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {platform::DigestAlgorithm::SHA512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digest);
        const Bytes d = platform::digest(c.algorithm, bytesOf(c.input));
        EXPECT_EQ(hex(c.digest), d);
        EXPECT_EQ(platform::digestLength(c.algorithm), d.size());
    }
}

// RFC 4231's test cases 1, 2 and 6 (a key longer than the block) and RFC 2202's case 2.
TEST(CryptoDigestTest, HmacKnownAnswers) {
    struct Case {
        platform::DigestAlgorithm algorithm;
        Bytes key;
        std::string input;
        std::string mac;
    };
    const Case cases[] = {
        {platform::DigestAlgorithm::SHA256, Bytes(20, 0x0b), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {platform::DigestAlgorithm::SHA256, bytesOf("Jefe"), "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {platform::DigestAlgorithm::SHA256, Bytes(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {platform::DigestAlgorithm::SHA1, bytesOf("Jefe"), "what do ya want for nothing?",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mac);
        EXPECT_EQ(hex(c.mac), platform::hmac(c.algorithm, c.key, bytesOf(c.input)));
    }
    EXPECT_EQ(platform::hmac(platform::DigestAlgorithm::SHA256, {}, {}).size(), 32u);
}

TEST(CryptoDigestTest, ConstantTimeEqualsComparesWholeStrings) {
    const struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"secret", "secret", true},
        {"secret", "Secret", false},  // differs in the first byte
        {"secret", "secreT", false},  // in the last
        {"secret", "secret ", false},
        {"secret", "", false},
        {"", "secret", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(platform::constantTimeEquals(c.a, c.b), c.equal);
        EXPECT_EQ(platform::constantTimeEquals(c.b, c.a), c.equal);
    }
}

// NIST SP 800-38A F.2.5 (CBC-AES256.Encrypt). Our cipher always runs with a zero IV, so the
// first plaintext block is given already XORed with the vector's IV: from there on the chain
// is the vector's, and the four ciphertext blocks must come out exactly, followed by one
// block of padding.
TEST(CryptoCipherTest, Aes256CbcMatchesSp800_38a) {
    const Bytes key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    const Bytes plain = concat({xorBlock(hex("6bc1bee22e409f96e93d7e117393172a"), iv), hex("ae2d8a571e03ac9c9eb76fac45af8e51"),
                                hex("30c81c46a35ce411e5fbc1191a0a52ef"), hex("f69f2445df4f9b17ad2b417be66c3710")});
    const Bytes cipher = hex(
        "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
        "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");

    const platform::CipherResult enc =
        platform::cipherCBC(platform::CipherOperation::Encrypt, platform::CipherAlgorithm::AES256, key, plain);
    ASSERT_TRUE(enc.ok());
    ASSERT_EQ(plain.size() + 16, enc.bytes.size());
    EXPECT_EQ(cipher, Bytes(enc.bytes.begin(), enc.bytes.begin() + 64));

    const platform::CipherResult dec =
        platform::cipherCBC(platform::CipherOperation::Decrypt, platform::CipherAlgorithm::AES256, key, enc.bytes);
    ASSERT_TRUE(dec.ok());
    EXPECT_EQ(plain, dec.bytes);
}

// NIST SP 800-67 Rev. 1, appendix B (TDEA in ECB mode, three keys): with a zero IV the first
// CBC block is the ECB block, and each later plaintext block is XORed with the previous
// ciphertext block so that the chain reproduces the ECB answers.
TEST(CryptoCipherTest, TripleDesCbcMatchesSp800_67) {
    const Bytes key = hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
    const Bytes p[] = {hex("5468652071756663"), hex("6B2062726F776E20"), hex("666F78206A756D70")};
    const Bytes c[] = {hex("A826FD8CE53B855F"), hex("CCE21C8112256FE6"), hex("68D5C05DD9B6B900")};
    const Bytes plain = concat({p[0], xorBlock(p[1], c[0]), xorBlock(p[2], c[1])});

    const platform::CipherResult enc =
        platform::cipherCBC(platform::CipherOperation::Encrypt, platform::CipherAlgorithm::TripleDES, key, plain);
    ASSERT_TRUE(enc.ok());
    ASSERT_EQ(32u, enc.bytes.size());
    EXPECT_EQ(concat({c[0], c[1], c[2]}), Bytes(enc.bytes.begin(), enc.bytes.begin() + 24));

    const platform::CipherResult dec =
        platform::cipherCBC(platform::CipherOperation::Decrypt, platform::CipherAlgorithm::TripleDES, key, enc.bytes);
    ASSERT_TRUE(dec.ok());
    EXPECT_EQ(plain, dec.bytes);
}

TEST(CryptoCipherTest, Failures) {
    const Bytes aesKey(32, 7);
    struct Case {
        const char* name;
        platform::CipherOperation operation;
        Bytes key;
        Bytes input;
        platform::CipherStatus status;
    };
    const Case cases[] = {
        {"short key", platform::CipherOperation::Encrypt, Bytes(16, 1), Bytes(3, 0), platform::CipherStatus::ParamError},
        {"long key", platform::CipherOperation::Encrypt, Bytes(33, 1), Bytes(3, 0), platform::CipherStatus::ParamError},
        {"not whole blocks", platform::CipherOperation::Decrypt, aesKey, Bytes(17, 0), platform::CipherStatus::AlignmentError},
        {"no block at all", platform::CipherOperation::Decrypt, aesKey, Bytes(), platform::CipherStatus::DecodeError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const platform::CipherResult r = platform::cipherCBC(c.operation, platform::CipherAlgorithm::AES256, c.key, c.input);
        EXPECT_EQ(c.status, r.status);
        EXPECT_TRUE(r.bytes.empty());
    }
}

TEST(CryptoRandomTest, RealSourceAndTestSeam) {
    Bytes a(32), b(32);
    ASSERT_TRUE(platform::secureRandomBytes(a));
    ASSERT_TRUE(platform::secureRandomBytes(b));
    EXPECT_NE(a, b);

    platform::setSecureRandomSourceForTesting([](std::span<std::uint8_t>) { return false; });
    EXPECT_FALSE(platform::secureRandomBytes(a));
    platform::setSecureRandomSourceForTesting({});
    EXPECT_TRUE(platform::secureRandomBytes(a));
}

}  // namespace
