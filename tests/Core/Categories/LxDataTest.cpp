#include "Core/Categories/LxData.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = LxData::Bytes;

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(LxDataTest, DigestsAndHexadecimal) {
    EXPECT_EQ(LxData::hexStringValue(LxData::md5Digest(std::string_view(""))),
              "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(LxData::hexStringValue(LxData::md5Digest(std::string_view("abc"))),
              "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(LxData::hexStringValue(LxData::sha1Digest(std::string_view(""))),
              "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(LxData::hexStringValue(LxData::sha1Digest(std::string_view("abc"))),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(LxData::hexStringValue(Bytes{0x00, 0xAB}), "00ab");
    EXPECT_EQ(LxData::hexStringValue(Bytes{}), "");
}

TEST(LxDataTest, Base64EncodingPadsAndNeverBreaksLines) {
    const struct {
        std::string input;
        std::string text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xFF\xFE\x00", 3), "//4A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(LxData::base64Encoded(std::string_view(c.input)), c.text);
    }
    const std::string longText = LxData::base64Encoded(Bytes(300, 0x5A));
    EXPECT_EQ(longText.size(), 400u);
    EXPECT_EQ(longText.find('\n'), std::string::npos);
}

TEST(LxDataTest, Base64DecodingIsLenient) {
    const struct {
        const char* name;
        std::string text;
        Bytes decoded;
    } cases[] = {
        {"standard padding, two bytes", "Zm8=", bytes("fo")},
        {"standard padding, one byte", "Zg==", bytes("f")},
        {"no padding needed", "Zm9vYmFy", bytes("foobar")},
        {"blanks and line breaks anywhere", " Zm\r\n9v\tYm-F*y ", bytes("foobar")},
        {"six characters without padding drop the partial group", "Zm9vYm", bytes("foo")},
        {"the first = ends the text", "Zg==Zm8=", bytes("f")},
        {"= with no filled slot appends nothing", "Zm9v=Zm8=", bytes("foo")},
        {"a lone character before = still makes one byte", "Zm9vZ=", Bytes{'f', 'o', 'o', 0x64}},
        {"empty input", "", Bytes{}},
        {"only skipped bytes", "\n \t!", Bytes{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LxData::base64Decoded(std::string_view(c.text)), c.decoded);
    }
}

// Random buffers of every small length: our encoding matches OpenSSL's and decodes back.
TEST(LxDataTest, Base64AgreesWithOpenSslOnRandomBuffers) {
    std::mt19937 random(7);
    for (size_t length = 0; length < 200; ++length) {
        Bytes input(length);
        for (auto& b : input) b = static_cast<uint8_t>(random());
        std::string expected(4 * ((length + 2) / 3) + 1, '\0');
        const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                            input.data(), static_cast<int>(length));
        expected.resize(static_cast<size_t>(written));
        const std::string text = LxData::base64Encoded(input);
        ASSERT_EQ(text, expected) << "length " << length;
        ASSERT_EQ(LxData::base64Decoded(std::string_view(text)), input) << "length " << length;
    }
}

}  // namespace
