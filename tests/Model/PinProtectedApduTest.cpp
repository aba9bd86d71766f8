#include "Model/PinProtectedApdu.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Model/KeyReferenceCache.h"
#include "Platform/PlainLog.h"
#include "Platform/Format.h"
#include "Util/CommonUtil.h"
#include "tools/LogCapture.h"

namespace {

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

// What a page does: mask L PIN bytes at `offset` of the command with the key.
ByteBuffer mask(ByteBuffer command, std::size_t offset, std::size_t length, const ByteBuffer& key) {
    for (std::size_t j = 0; j < length; ++j) command[offset + j] = command[offset + j] ^ key[j] ^ key[length + j];
    return command;
}

std::string descriptor(std::uint32_t ref, int offset, int length) {
    return platform::format("04%08X%02X%02X", ref, offset, length);
}

class PinProtectedApduTest : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = KeyReferenceCache::sharedCache()->generateApduKeyReference();
        other_ = KeyReferenceCache::sharedCache()->generateApduKeyReference();
        ASSERT_TRUE(key_ && other_);
    }
    std::vector<std::string> lines() const { return log_.lines(); }
    // A reference the shared cache has never issued.
    std::uint32_t unknownReference() const {
        std::uint32_t ref = 1;
        while (KeyReferenceCache::sharedCache()->getApduKey(ref)) ++ref;
        return ref;
    }

    std::shared_ptr<const ApduKeyRef> key_, other_;

    testtools::LogCapture log_;
};

// VERIFY with the PIN "1234" padded with FF in bytes 5 to 12.
const ByteBuffer kVerify = hex("0020008108 31323334 FFFFFFFF");

TEST_F(PinProtectedApduTest, UnmasksTheVerifyPin) {
    const ByteBuffer masked = mask(kVerify, 5, 4, key_->data());
    ASSERT_NE(kVerify, masked);
    const PinProtectedApdu apdu("FFFF01" + descriptor(key_->referenceNumber(), 5, 4) + CommonUtil::hexStringFromData(masked));
    EXPECT_EQ(kVerify, apdu.decodedApdu());
    EXPECT_EQ(CommonUtil::hexStringFromData(kVerify), apdu.decodedApduInHexString());
    EXPECT_EQ(1, apdu.numberOfPins());
    EXPECT_TRUE(lines().empty());
}

TEST_F(PinProtectedApduTest, KeysAreReusableAndDescriptorsCombine) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const PinProtectedApdu apdu("ff ff 01 " + descriptor(key_->referenceNumber(), 5, 4) + " " +
                                    CommonUtil::hexStringFromData(mask(kVerify, 5, 4, key_->data()), true));
        EXPECT_EQ(kVerify, apdu.decodedApdu());
    }
    // Two PINs of one command under two keys; the second covers all 8 bytes a key can mask.
    const ByteBuffer command = hex("00240000 10 3132333435363738 3837363534333231");
    const ByteBuffer masked = mask(mask(command, 5, 8, key_->data()), 13, 8, other_->data());
    const PinProtectedApdu apdu("FFFF02" + descriptor(key_->referenceNumber(), 5, 8) + descriptor(other_->referenceNumber(), 13, 8) +
                                CommonUtil::hexStringFromData(masked));
    EXPECT_EQ(command, apdu.decodedApdu());
    EXPECT_EQ(2, apdu.numberOfPins());
}

TEST_F(PinProtectedApduTest, Texts) {
    const std::uint32_t unknown = unknownReference();
    const std::string verify = CommonUtil::hexStringFromData(kVerify);
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::string> decoded;
        std::vector<std::string> log;
    };
    const std::string notPin = "Error! Failed to decode. This is not a valid pin procted apdu";
    const std::string outOfRange = "Error! PIN out of range for this apdu: ";
    const Case cases[] = {
        {"no descriptors", "FFFF00" + verify, verify, {}},
        {"no descriptors, no command", "FFFF00", "", {}},
        {"FF FE", "FFFE00" + verify, std::nullopt, {notPin}},
        {"two bytes", "FFFF", std::nullopt, {notPin}},
        {"empty", "", std::nullopt, {notPin}},
        {"bare command", verify, std::nullopt, {notPin}},
        {"unknown reference", "FFFF01" + descriptor(unknown, 5, 4) + verify, std::nullopt,
         {platform::format("No key found for this reference: %i ", static_cast<std::int32_t>(unknown))}},
        // The descriptor does not fit: skipped, the offset stays, the rest is the command.
        {"descriptor longer than what remains", "FFFF01" "09AABB", "09AABB", {"Error: APDU length mismatch."}},
        {"PIN longer than 8", "FFFF01" + descriptor(key_->referenceNumber(), 4, 9) + verify, std::nullopt,
         {outOfRange + platform::format("RefNum: %i, offset: 4, pinLength: 9, length: 7", static_cast<std::int32_t>(key_->referenceNumber()))}},
        {"PIN past the command's end", "FFFF01" + descriptor(key_->referenceNumber(), 10, 4) + verify, std::nullopt,
         {outOfRange + platform::format("RefNum: %i, offset: 10, pinLength: 4, length: 7", static_cast<std::int32_t>(key_->referenceNumber()))}},
        {"PIN offset far past the end", "FFFF01" + descriptor(key_->referenceNumber(), 255, 1) + verify, std::nullopt,
         {outOfRange + platform::format("RefNum: %i, offset: 255, pinLength: 1, length: 7", static_cast<std::int32_t>(key_->referenceNumber()))}},
        {"PIN ending exactly at the end", "FFFF01" + descriptor(key_->referenceNumber(), 9, 4) + CommonUtil::hexStringFromData(mask(kVerify, 9, 4, key_->data())),
         verify, {}},
        {"zero-length PIN", "FFFF01" + descriptor(key_->referenceNumber(), 13, 0) + verify, verify, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        const PinProtectedApdu apdu(c.text);
        const std::vector<std::string> log = log_.lines();
        EXPECT_EQ(c.text, apdu.rawApdu());
        EXPECT_EQ(c.decoded, apdu.decodedApduInHexString());
        EXPECT_EQ(c.decoded.has_value(), apdu.decodedApdu().has_value());
        EXPECT_EQ(c.log, log);
    }
}

// Random descriptors (sizes, references, offsets and lengths, fitting or not) over random
// commands: whatever the text, decode reads and writes only inside the key and the command
// (ASan watches), and a decoded command is never longer than the text it came from.
TEST_F(PinProtectedApduTest, RandomTextsStayInsideTheirBuffers) {
    std::mt19937 rng(1210);
    auto byte = [&] { return static_cast<std::uint8_t>(rng() & 0xFF); };
    auto small = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 5000; ++round) {
        ByteBuffer text{0xFF, 0xFF};
        const int pins = small(4);
        text.push_back(static_cast<std::uint8_t>(pins + (small(8) == 0 ? 1 : 0)));  // sometimes one too many
        for (int i = 0; i < pins; ++i) {
            const bool known = small(4) != 0;
            const std::uint32_t ref = known ? (small(2) ? key_->referenceNumber() : other_->referenceNumber()) : static_cast<std::uint32_t>(rng());
            const int n = small(6) == 0 ? small(8) : 4;
            text.push_back(static_cast<std::uint8_t>(n));
            for (int k = n - 1; k >= 0; --k) text.push_back(k < 4 ? static_cast<std::uint8_t>(ref >> (8 * k)) : 0);
            text.push_back(static_cast<std::uint8_t>(small(24)));
            text.push_back(static_cast<std::uint8_t>(small(12)));
        }
        const int commandLength = small(20);
        for (int i = 0; i < commandLength; ++i) text.push_back(byte());
        if (small(5) == 0) text.resize(static_cast<std::size_t>(small(static_cast<int>(text.size()) + 1)));

        const std::string hexText = CommonUtil::hexStringFromData(text);
        SCOPED_TRACE(hexText);
        const PinProtectedApdu apdu(hexText);
        if (apdu.decodedApdu()) {
            ASSERT_LE(apdu.decodedApdu()->size(), text.size());
            ASSERT_EQ(CommonUtil::hexStringFromData(*apdu.decodedApdu()), apdu.decodedApduInHexString());
        } else {
            ASSERT_FALSE(apdu.decodedApduInHexString());
        }
    }
}

}  // namespace
