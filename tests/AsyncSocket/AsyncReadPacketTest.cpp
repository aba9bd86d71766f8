#include "AsyncSocket/AsyncReadPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const ByteBuffer kCRLF{'\r', '\n'};

ByteBuffer bytes(const std::string& text) { return ByteBuffer(text.begin(), text.end()); }

// A terminator read whose packet already holds `done` and whose pre-buffer holds `pre`.
struct TermCase {
    const char* name;
    std::string term;
    std::string done;
    std::string pre;
    uint64_t maxLength;
    uint64_t expected;
    bool found;
};

TEST(AsyncReadPacket, TerminatorAcrossPacketAndPreBuffer) {
    const TermCase cases[] = {
        {"CR in packet, LF in pre-buffer", "\r\n", "abc\r", "\nrest", 0, 1, true},
        {"terminator inside pre-buffer", "\r\n", "", "ab\r\ncd", 0, 4, true},
        {"no terminator", "\r\n", "", "abcdef", 0, 6, false},
        {"no terminator, capped by maxLength", "\r\n", "ab", "cdefgh", 5, 3, false},
        {"too short to hold the terminator", "ABCD", "", "ABC", 0, 3, false},
        {"four-byte terminator split 3+1", "\r\n\r\n", "x\r\n\r", "\nyz", 0, 1, true},
        {"four-byte terminator split 1+3", "\r\n\r\n", "xy\r", "\n\r\nz", 0, 3, true},
        {"terminator right at maxLength", "\r\n", "a", "b\r\nc", 4, 3, true},
        {"terminator past maxLength", "\r\n", "a", "bc\r\n", 3, 2, false},
    };
    for (const TermCase& c : cases) {
        SCOPED_TRACE(c.name);
        AsyncReadPacket packet(nullptr, 0, c.maxLength, -1, 0, bytes(c.term), 1);
        packet.ensureCapacityForAdditionalDataOfLength(c.done.size());
        if (!c.done.empty()) std::memcpy(packet.writePosition(), c.done.data(), c.done.size());
        packet.bytesDone = c.done.size();
        AsyncSocketPreBuffer pre(64);
        std::memcpy(pre.writeBuffer(), c.pre.data(), c.pre.size());
        pre.didWrite(c.pre.size());
        bool found = !c.found;
        EXPECT_EQ(packet.readLengthForTermWithPreBuffer(pre, &found), c.expected);
        EXPECT_EQ(found, c.found);
    }
}

TEST(AsyncReadPacket, SearchAfterReadingStraightIn) {
    struct Case {
        const char* name;
        std::string before;
        std::string read;
        int64_t expected;
    };
    const Case cases[] = {
        {"terminator ends the new bytes", "", "abc\r\n", 0},
        {"bytes past the terminator", "", "ab\r\ncd", 2},
        {"terminator split over old and new", "ab\r", "\nxyz", 3},
        {"not there", "ab", "cd", -1},
        {"CR alone at the end", "", "abc\r", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AsyncReadPacket packet(nullptr, 0, 0, -1, 0, kCRLF, 1);
        const std::string all = c.before + c.read;
        packet.ensureCapacityForAdditionalDataOfLength(all.size());
        std::memcpy(packet.writePosition(), all.data(), all.size());
        packet.bytesDone = c.before.size();
        EXPECT_EQ(packet.searchForTermAfterPreBuffering(static_cast<int64_t>(c.read.size())), c.expected);
    }
}

TEST(AsyncReadPacket, BuffersOwnAndCallers) {
    AsyncReadPacket own(nullptr, 0, 0, -1, 10, std::nullopt, 1);
    EXPECT_TRUE(own.bufferOwner);
    EXPECT_EQ(own.buffer->size(), 10u);
    EXPECT_EQ(*own.buffer, ByteBuffer(10, 0));
    EXPECT_EQ(own.originalBufferLength, 0u);

    // A length announced by the peer does not reserve memory before the bytes arrive.
    AsyncReadPacket huge(nullptr, 0, 0, -1, uint64_t{1} << 40, std::nullopt, 1);
    EXPECT_EQ(huge.buffer->size(), AsyncReadPacket::kMaxInitialBuffer);
    EXPECT_EQ(huge.readLengthForNonTermWithHint(100), 100u);

    auto callers = std::make_shared<ByteBuffer>(5, 'x');
    AsyncReadPacket theirs(callers, 5, 0, -1, 0, std::nullopt, 2);
    EXPECT_FALSE(theirs.bufferOwner);
    EXPECT_EQ(theirs.buffer, callers.get());
    EXPECT_EQ(theirs.startOffset, 5u);
    EXPECT_EQ(theirs.originalBufferLength, 5u);
    theirs.ensureCapacityForAdditionalDataOfLength(3);
    EXPECT_EQ(callers->size(), 8u);
}

TEST(AsyncReadPacket, ReadLengths) {
    AsyncReadPacket exact(nullptr, 0, 0, -1, 10, std::nullopt, 1);
    exact.bytesDone = 4;
    EXPECT_EQ(exact.readLengthForNonTermWithHint(100), 6u);
    EXPECT_EQ(exact.readLengthForNonTermWithHint(3), 3u);

    AsyncReadPacket available(nullptr, 0, 8, -1, 0, std::nullopt, 1);
    available.bytesDone = 2;
    EXPECT_EQ(available.readLengthForNonTermWithHint(100), 6u);
    AsyncReadPacket unlimited(nullptr, 0, 0, -1, 0, std::nullopt, 1);
    EXPECT_EQ(unlimited.readLengthForNonTermWithHint(100), 100u);

    AsyncReadPacket term(nullptr, 0, 0, -1, 0, kCRLF, 1);
    bool preBuffer = false;
    EXPECT_EQ(term.readLengthForTermWithHint(50, &preBuffer), 50u);
    EXPECT_TRUE(preBuffer);  // an own empty buffer has no room
    term.ensureCapacityForAdditionalDataOfLength(60);
    EXPECT_EQ(term.readLengthForTermWithHint(50, &preBuffer), 50u);
    EXPECT_FALSE(preBuffer);

    AsyncReadPacket capped(nullptr, 0, 20, -1, 0, kCRLF, 1);
    capped.bytesDone = 15;
    EXPECT_EQ(capped.readLengthForTermWithHint(50, nullptr), 5u);
}

}  // namespace
