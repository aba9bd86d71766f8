#include "AsyncSocket/AsyncSocketPreBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

void put(AsyncSocketPreBuffer& buffer, const std::string& text) {
    buffer.ensureCapacityForWrite(text.size());
    std::memcpy(buffer.writeBuffer(), text.data(), text.size());
    buffer.didWrite(text.size());
}

std::string unread(const AsyncSocketPreBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.readBuffer()), buffer.availableBytes());
}

TEST(AsyncSocketPreBuffer, ReadingEverythingGoesBackToTheStart) {
    AsyncSocketPreBuffer buffer(16);
    put(buffer, "abcdef");
    buffer.didRead(2);
    EXPECT_EQ(unread(buffer), "cdef");
    EXPECT_EQ(buffer.availableSpace(), 10u);
    buffer.didRead(4);
    EXPECT_EQ(buffer.availableBytes(), 0u);
    EXPECT_EQ(buffer.availableSpace(), 16u);
}

TEST(AsyncSocketPreBuffer, GrowthKeepsUnreadBytesAndOnlyAddsWhatIsMissing) {
    AsyncSocketPreBuffer buffer(8);
    put(buffer, "12345678");
    buffer.didRead(3);
    const uint8_t* before = buffer.readBuffer();
    buffer.ensureCapacityForWrite(0);  // enough room already: untouched
    EXPECT_EQ(buffer.readBuffer(), before);
    buffer.ensureCapacityForWrite(5);
    EXPECT_EQ(buffer.capacity(), 13u);
    EXPECT_EQ(unread(buffer), "45678");
    put(buffer, "9ABCD");
    EXPECT_EQ(unread(buffer), "456789ABCD");
}

TEST(AsyncSocketPreBuffer, OutParametersAndReset) {
    AsyncSocketPreBuffer buffer(4);
    put(buffer, "xy");
    const uint8_t* readPtr = nullptr;
    size_t available = 0;
    buffer.getReadBuffer(&readPtr, &available);
    EXPECT_EQ(available, 2u);
    buffer.getReadBuffer(nullptr, &available);  // either may be absent
    uint8_t* writePtr = nullptr;
    size_t space = 0;
    buffer.getWriteBuffer(&writePtr, &space);
    EXPECT_EQ(writePtr, readPtr + 2);
    EXPECT_EQ(space, 2u);
    buffer.reset();
    EXPECT_EQ(buffer.availableBytes(), 0u);
    EXPECT_EQ(buffer.capacity(), 4u);
}

TEST(AsyncSocketPreBuffer, ConsumingMoreThanHeldStopsAtTheEnd) {
    AsyncSocketPreBuffer buffer(4);
    put(buffer, "ab");
    buffer.didRead(10);
    EXPECT_EQ(buffer.availableBytes(), 0u);
    EXPECT_EQ(buffer.availableSpace(), 4u);
}

}  // namespace
