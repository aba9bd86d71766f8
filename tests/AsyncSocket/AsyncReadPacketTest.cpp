#include "AsyncSocket/AsyncReadPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

// Every split of each text into bytes already read and bytes waiting (in the pre-buffer, or
// read straight in), with and without a maximum length, against a plain search of the whole.
TEST(AsyncReadPacket, TerminatorFoundAtEverySplit) {
    struct Case {
        std::string term;
        std::string text;
    };
    const Case cases[] = {
        {"\r\n", "GET / HTTP/1.1\r\nHost: a\r\n"},
        {"\r\n", "a\r\r\r\n"},
        {"\r\n\r\n", "a\r\n\r\r\n\r\nb"},
        {"\n", "line\nnext"},
        {"aab", "aaaaabaab"},
        {"\r\n", "no terminator here\r"},
        {std::string(70, 'x') + "!", std::string(100, 'x') + "!tail"},  // longer than the scratch area
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const uint64_t tl = c.term.size();
        for (size_t split = 0; split <= c.text.size(); ++split) {
            const std::string done = c.text.substr(0, split);
            if (done.find(c.term) != std::string::npos) break;  // the read would have ended there
            const std::string rest = c.text.substr(split);
            const size_t from = split >= tl ? split - tl + 1 : 0;
            const size_t hit = c.text.find(c.term, from);
            for (uint64_t maxLength : {uint64_t{0}, uint64_t{split + 3}}) {
                SCOPED_TRACE("split " + std::to_string(split) + ", maxLength " + std::to_string(maxLength));
                AsyncReadPacket packet(nullptr, 0, maxLength, -1, 0, bytes(c.term), 1);
                packet.ensureCapacityForAdditionalDataOfLength(done.size());
                if (!done.empty()) std::memcpy(packet.writePosition(), done.data(), done.size());
                packet.bytesDone = done.size();
                AsyncSocketPreBuffer pre(rest.size() + 1);
                if (!rest.empty()) std::memcpy(pre.writeBuffer(), rest.data(), rest.size());
                pre.didWrite(rest.size());

                const uint64_t window = maxLength > 0 ? std::min<uint64_t>(rest.size(), maxLength - split) : rest.size();
                uint64_t expected = done.size() + rest.size() < tl ? rest.size() : window;
                bool expectFound = false;
                if (hit != std::string::npos && hit + tl <= split + window) {
                    expected = hit + tl - split;
                    expectFound = true;
                }
                bool found = !expectFound;
                EXPECT_EQ(packet.readLengthForTermWithPreBuffer(pre, &found), expected);
                EXPECT_EQ(found, expectFound);

                if (maxLength > 0) continue;
                packet.ensureCapacityForAdditionalDataOfLength(rest.size());
                if (!rest.empty()) std::memcpy(packet.writePosition(), rest.data(), rest.size());
                const int64_t past = hit == std::string::npos ? -1 : static_cast<int64_t>(c.text.size() - (hit + tl));
                EXPECT_EQ(packet.searchForTermAfterPreBuffering(static_cast<int64_t>(rest.size())), past);
            }
        }
    }
}

TEST(AsyncReadPacket, BuffersOwnAndCallers) {
    AsyncReadPacket own(nullptr, 0, 0, -1, 10, std::nullopt, 1);
    EXPECT_TRUE(own.bufferOwner());
    EXPECT_TRUE(own.buffer->empty());
    EXPECT_GE(own.buffer->capacity(), 10u);  // a short read is made room for once
    EXPECT_EQ(own.originalBufferLength, 0u);
    own.ensureCapacityForAdditionalDataOfLength(4);
    EXPECT_EQ(own.buffer->size(), 4u);

    auto callers = std::make_shared<ByteBuffer>(5, 'x');
    AsyncReadPacket theirs(callers, 5, 0, -1, 0, std::nullopt, 2);
    EXPECT_FALSE(theirs.bufferOwner());
    EXPECT_EQ(theirs.buffer, callers.get());
    EXPECT_EQ(theirs.startOffset, 5u);
    EXPECT_EQ(theirs.originalBufferLength, 5u);
    theirs.ensureCapacityForAdditionalDataOfLength(3);
    EXPECT_EQ(callers->size(), 8u);
}

// A length to read that the peer announced (a Content-Length, a frame header) holds no
// memory of its own: the buffer follows the bytes that arrive, in whatever pieces they come,
// and holds them unchanged.
TEST(AsyncReadPacket, RegressionBufferFollowsTheBytesNotTheDeclaredLength) {
    struct Case {
        const char* name;
        uint64_t readLength;
        bool callers;  // into a caller's buffer behind 3 bytes of its own
        std::vector<size_t> pieces;
    };
    const Case cases[] = {
        {"14 bytes of a 100 MB body", 100'000'000, false, {14}},
        {"one byte at a time", 524288, false, std::vector<size_t>(300, 1)},
        {"growing pieces", 524288, false, {1, 7, 100, 4096, 4097, 65536, 131072, 200000}},
        {"one large piece", 524288, false, {524288}},
        {"into a caller's buffer", 100'000'000, true, {14, 1, 1500, 16384, 65536, 2}},
        {"a short read, whole", 10, false, {3, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto callers = std::make_shared<ByteBuffer>(ByteBuffer{'a', 'b', 'c'});
        AsyncReadPacket packet(c.callers ? callers : nullptr, c.callers ? 3 : 0, 0, -1, c.readLength, std::nullopt, 1);
        EXPECT_LE(packet.buffer->capacity(), packet.startOffset + AsyncReadPacket::kInitialReserve);
        ByteBuffer expected(packet.buffer->begin(), packet.buffer->end());
        uint8_t next = 0;
        for (size_t piece : c.pieces) {
            ASSERT_EQ(packet.readLengthForNonTermWithHint(piece), piece);
            packet.ensureCapacityForAdditionalDataOfLength(piece);
            ASSERT_GE(packet.roomLeft(), piece);
            for (size_t i = 0; i < piece; ++i) packet.writePosition()[i] = next++;
            for (size_t i = 0; i < piece; ++i) expected.push_back(packet.writePosition()[i]);
            packet.bytesDone += piece;
            const uint64_t held = packet.startOffset + packet.bytesDone;
            // Room only for what came, doubled at most, beyond the first short reserve; never
            // beyond the read's end.
            EXPECT_LE(packet.buffer->capacity(), std::max<uint64_t>(2 * held, AsyncReadPacket::kInitialReserve));
            EXPECT_LE(packet.buffer->capacity(), std::max<uint64_t>(packet.startOffset + c.readLength, AsyncReadPacket::kInitialReserve));
        }
        EXPECT_EQ(packet.buffer->size(), packet.startOffset + packet.bytesDone);
        EXPECT_TRUE(*packet.buffer == expected);
    }
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
