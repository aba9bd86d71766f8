#include "AsyncSocket/AsyncSocket.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "AsyncSocket/SocketTestSupport.h"
#include "tools/AllocationCount.h"
#include "tools/Eventually.h"

namespace {

using namespace socket_test;
using namespace std::chrono_literals;

class AsyncSocketReadMemory : public AcceptedSocketTest {
protected:
    // The bytes the socket has reported as partly read for the tag.
    uint64_t partialBytes(long tag) const {
        uint64_t total = 0;
        for (const Event& e : f.delegate->events()) {
            if (e.call == Call::DidReadPartialData && e.sock == sock && e.tag == tag) total += e.length;
        }
        return total;
    }
    bool taken(long tag, uint64_t bytes) const {
        return testtools::eventually([&] { return partialBytes(tag) == bytes; }, 10s, 1ms);
    }
};

// A peer that declares a long body and sends a few bytes of it makes the socket hold those
// bytes, not the declared length: a few hundred such peers held half a megabyte each.
TEST_F(AsyncSocketReadMemory, RegressionADeclaredLengthHoldsOnlyTheBytesThatArrived) {
    constexpr uint64_t kDeclared = 100'000'000;
    struct Case {
        const char* name;
        bool callers;
    };
    const Case cases[] = {{"own buffer", false}, {"caller's buffer", true}};
    long tag = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++tag;
        auto buffer = std::make_shared<ByteBuffer>();
        const int64_t before = testtools::liveAllocatedBytes();
        if (c.callers) {
            sock->readDataToLength(kDeclared, -1, buffer, 0, tag);
        } else {
            sock->readDataToLength(kDeclared, -1, tag);
        }
        ASSERT_TRUE(sendAll(client, std::string(14, 'b')));
        ASSERT_TRUE(taken(tag, 14));
        const int64_t held = testtools::liveAllocatedBytes() - before;
        EXPECT_LT(held, 64 * 1024) << "bytes held for 14 bytes read";
        if (c.callers) {
            EXPECT_LT(buffer->capacity(), 4096u);
        }
        // The read goes on with the rest; end it with the socket.
        sock->disconnect();
        ASSERT_TRUE(disconnected());
        f.delegate->clear();
        sock = f.accept(&client);
        ASSERT_TRUE(sock);
    }
}

// However the bytes come, one at a time or in large pieces, a read to a length or to a
// terminator, into its own buffer or a caller's, ends with exactly its bytes, and what
// follows them stays for the next read.
TEST_F(AsyncSocketReadMemory, ReadsInManyPiecesEndWithExactlyTheirBytes) {
    enum class Kind { Length, Terminator };
    struct Case {
        const char* name;
        Kind kind;
        bool callers;  // into a caller's buffer behind 2 bytes of its own
        std::vector<size_t> pieces;
    };
    const std::vector<size_t> growing{1, 2, 3, 4096, 70000, 1, 200000, 5};
    const Case cases[] = {
        {"length, one byte at a time", Kind::Length, false, std::vector<size_t>(40, 1)},
        {"length, growing pieces", Kind::Length, false, growing},
        {"length, large pieces", Kind::Length, false, {262144, 262144}},
        {"length, one piece", Kind::Length, false, {300000}},
        {"length into a caller's buffer, one byte at a time", Kind::Length, true, std::vector<size_t>(40, 1)},
        {"length into a caller's buffer, growing pieces", Kind::Length, true, growing},
        {"terminator, one byte at a time", Kind::Terminator, false, std::vector<size_t>(40, 1)},
        {"terminator, growing pieces", Kind::Terminator, false, growing},
        {"terminator into a caller's buffer, growing pieces", Kind::Terminator, true, growing},
    };
    const std::string kNext = "next!";
    long tag = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++tag;
        const size_t total = std::accumulate(c.pieces.begin(), c.pieces.end(), size_t{0});
        std::string data(total, ' ');
        for (size_t i = 0; i < total; ++i) data[i] = static_cast<char>('a' + i % 26);
        if (c.kind == Kind::Terminator) data.replace(total - 2, 2, "\r\n");

        auto buffer = std::make_shared<ByteBuffer>(ByteBuffer{'[', '['});
        if (c.kind == Kind::Length) {
            if (c.callers) sock->readDataToLength(total, -1, buffer, 2, tag);
            else sock->readDataToLength(total, -1, tag);
        } else {
            if (c.callers) sock->readDataToData(AsyncSocket::CRLFData(), -1, buffer, 2, tag);
            else sock->readDataToData(AsyncSocket::CRLFData(), -1, tag);
        }
        size_t sent = 0;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            const bool last = i + 1 == c.pieces.size();
            ASSERT_TRUE(sendAll(client, data.substr(sent, c.pieces[i]) + (last ? kNext : "")));
            sent += c.pieces[i];
            // Each piece is its own read step.
            if (!last) {
                ASSERT_TRUE(taken(tag, sent)) << "piece " << i;
            }
        }
        auto event = read(tag);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->length, total);
        EXPECT_TRUE(event->data == data);
        if (c.callers) {
            f.delegateQueue->sync([] {});
            EXPECT_EQ(buffer->size(), 2 + total);
            EXPECT_TRUE(std::string(buffer->begin(), buffer->end()) == "[[" + data);
        }
        sock->readDataToLength(kNext.size(), -1, tag + 1000);
        auto next = read(tag + 1000);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->data, kNext);
    }
}

}  // namespace
