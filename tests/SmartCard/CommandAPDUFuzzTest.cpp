// Randomized parsing of APDU and hexadecimal texts: texts built from hexadecimal digits,
// "0x" prefixes, separators and arbitrary bytes, checked against what every parse must
// satisfy. Run under ASan it proves that no text reads or writes outside its buffers.
#include "SmartCard/CommandAPDU.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"

namespace {

std::string randomText(std::mt19937& rng) {
    static const std::string pieces[] = {"0", "1", "9", "a", "F", "f", "0x", "0X", " ", ":", "\n", "x", "g", "00", "FF"};
    std::uniform_int_distribution<int> length(0, 80);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) {
        if (kind(rng) == 0) text.push_back(static_cast<char>(byte(rng)));
        else text += pieces[piece(rng)];
    }
    return text;
}

class CommandAPDUFuzzTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setPlainLogOutputEnabled(false);
    }
    void TearDown() override { platform::setPlainLogOutputEnabled(true); }
};

TEST_F(CommandAPDUFuzzTest, RandomTextsKeepTheInvariants) {
    std::mt19937 rng(20261210);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = randomText(rng);
        SCOPED_TRACE(CommonUtil::hexStringFromData(ByteBuffer(text.begin(), text.end())));

        const std::string digits = CommonUtil::cleanNonHexCharsFromHexString(std::string_view(text));
        for (char c : digits) ASSERT_TRUE(CommonUtil::isValidChar(c));
        const ByteBuffer bytes = CommonUtil::dataFromHexString(std::string_view(text));
        ASSERT_EQ(digits.size() / 2, bytes.size());
        ASSERT_EQ(bytes, CommonUtil::dataFromHexString(std::string_view(CommonUtil::hexStringFromData(bytes, true))));

        const CommandAPDU apdu{std::optional<std::string>(text)};
        const ByteBuffer data = apdu.getData();
        ASSERT_GE(data.size(), 4u);
        switch (apdu.classType()) {
        case 0:
            ASSERT_LT(digits.size(), 8u);
            ASSERT_EQ(ByteBuffer(4, 0), data);
            break;
        case 1:
            ASSERT_EQ(ByteBuffer(bytes.begin(), bytes.begin() + 4), data);
            break;
        case 2:
            ASSERT_EQ(10u, digits.size());
            ASSERT_EQ(bytes, data);
            break;
        case 3:
        case 4:
            ASSERT_TRUE(apdu.commandData());
            ASSERT_EQ(apdu.lc(), apdu.commandData()->size());
            ASSERT_EQ(apdu.classType() == 4, apdu.le().has_value());
            // What is sent is a prefix of what the page wrote.
            ASSERT_LE(data.size(), bytes.size());
            ASSERT_EQ(ByteBuffer(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(data.size())), data);
            break;
        default:
            FAIL() << "classType " << apdu.classType();
        }
    }
}

}  // namespace
