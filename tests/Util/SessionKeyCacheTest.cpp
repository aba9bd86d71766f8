#include "Util/SessionKeyCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "Platform/Crypto/SecureRandom.h"
#include "tools/LogCapture.h"
#include "tools/ScriptedRandom.h"
#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"

namespace {

using std::chrono::seconds;

using testtools::ScriptedRandom;

// A reference and a key from the script: 8 reference bytes, 16 key bytes.
ByteBuffer draw(std::uint64_t reference, std::uint8_t keyByte) {
    ByteBuffer bytes = CommonUtil::dataFromInt64(reference);
    bytes.insert(bytes.end(), 16, keyByte);
    return bytes;
}

ByteBuffer concat(std::initializer_list<ByteBuffer> parts) {
    ByteBuffer out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class SessionKeyCacheTest : public ::testing::Test {
protected:
    testtools::LogCapture log_;
    platform::BootClock::time_point now_{seconds(5000)};
    SessionKeyCache cache_{[this] { return now_; }};
};

TEST_F(SessionKeyCacheTest, KeyIsFoundUntilItExpires) {
    const auto key = cache_.generateKeyReference();
    ASSERT_TRUE(key);
    EXPECT_EQ(16u, key->data().size());
    EXPECT_EQ(now_, key->timestamp());
    now_ += seconds(299);
    EXPECT_EQ(key->data(), cache_.getKey(key->referenceNumber()));
    now_ += seconds(1);
    EXPECT_EQ(key->data(), cache_.getKey(key->referenceNumber()));  // exactly 300 s: still valid
    now_ += seconds(1);
    EXPECT_FALSE(cache_.getKey(key->referenceNumber()));
    now_ -= seconds(100);  // once purged, gone for good
    EXPECT_FALSE(cache_.getKey(key->referenceNumber()));
}

TEST_F(SessionKeyCacheTest, PurgeTakesEveryExpiredKeyOnlyInGetKey) {
    ScriptedRandom random(concat({draw(1, 0x11), draw(2, 0x22), draw(3, 0x33), draw(4, 0x44)}));
    ASSERT_TRUE(cache_.generateKeyReference());  // 1 and 2 side by side, old
    ASSERT_TRUE(cache_.generateKeyReference());
    now_ += seconds(200);
    ASSERT_TRUE(cache_.generateKeyReference());  // 3, young
    now_ += seconds(101);                         // 1 and 2 are 301 s old, 3 is 101 s
    // Making a key does not purge, and its uniqueness test still sees the expired ones.
    EXPECT_FALSE(cache_.isUniquePair(1, {}));
    EXPECT_FALSE(cache_.isUniquePair(99, ByteBuffer(16, 0x22)));
    ASSERT_TRUE(cache_.generateKeyReference());  // 4
    EXPECT_FALSE(cache_.isUniquePair(2, {}));

    EXPECT_EQ(ByteBuffer(16, 0x33), cache_.getKey(3));  // the lookup of another key purges 1 and 2
    EXPECT_TRUE(cache_.isUniquePair(1, ByteBuffer(16, 0x11)));
    EXPECT_TRUE(cache_.isUniquePair(2, ByteBuffer(16, 0x22)));
    EXPECT_EQ(ByteBuffer(16, 0x44), cache_.getKey(4));
}

TEST_F(SessionKeyCacheTest, CleanupKeepsTheOrderOfTheRest) {
    ScriptedRandom random(concat({draw(1, 1), draw(2, 2), draw(3, 3)}));
    ASSERT_TRUE(cache_.generateKeyReference());
    now_ += seconds(10);
    ASSERT_TRUE(cache_.generateKeyReference());
    ASSERT_TRUE(cache_.generateKeyReference());
    now_ += seconds(295);
    cache_.cleanup();
    EXPECT_TRUE(cache_.isUniquePair(1, {}));
    EXPECT_EQ(ByteBuffer(16, 2), cache_.getKey(2));
    EXPECT_EQ(ByteBuffer(16, 3), cache_.getKey(3));
}

TEST_F(SessionKeyCacheTest, DrawsAgainUntilThePairIsUnique) {
    // The second key's first draw repeats the reference, its second repeats the key bytes.
    ScriptedRandom random(concat({draw(7, 0xAA), draw(7, 0xBB), draw(8, 0xAA), draw(9, 0xCC)}));
    const auto first = cache_.generateKeyReference();
    const auto second = cache_.generateKeyReference();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(7u, first->referenceNumber());
    EXPECT_EQ(9u, second->referenceNumber());
    EXPECT_EQ(ByteBuffer(16, 0xCC), second->data());
}

TEST_F(SessionKeyCacheTest, FailingRandomSourceMakesNoKey) {
    log_.clear();
    for (const ByteBuffer& bytes : {ByteBuffer{}, CommonUtil::dataFromInt64(5)}) {
        ScriptedRandom random(bytes);
        EXPECT_EQ(nullptr, cache_.generateKeyReference());
    }
    const std::vector<std::string> lines = log_.lines();
    EXPECT_TRUE(cache_.isUniquePair(0, ByteBuffer(16, 0)));  // nothing, not even a key of zeros, was stored
    EXPECT_TRUE(cache_.isUniquePair(5, {}));
    EXPECT_EQ(std::vector<std::string>(2, "Failed to generate a document key: random source failed"), lines);
}

TEST_F(SessionKeyCacheTest, ReferenceTexts) {
    struct Case {
        const char* text;
        std::uint64_t reference;
    };
    const Case cases[] = {
        {"0x10", 16},   {"0X10", 16},   {"12abc", 12}, {"", 0},     {"abc", 0},
        {"010", 8},     {"  42", 42},   {"+7", 7},     {"-1", 18446744073709551615ULL},
        {"18446744073709551615", 18446744073709551615ULL}, {"18446744073709551616", 18446744073709551615ULL},
        {"99999999999999999999999", 18446744073709551615ULL}, {"09", 0}, {"1234567890", 1234567890},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.reference, SessionKeyCache::referenceFromString(c.text));
    }

    ScriptedRandom random(concat({draw(16, 1), draw(12, 2), draw(0, 3)}));
    ASSERT_TRUE(cache_.generateKeyReference());
    ASSERT_TRUE(cache_.generateKeyReference());
    ASSERT_TRUE(cache_.generateKeyReference());
    EXPECT_EQ(ByteBuffer(16, 1), cache_.getKeyFromRefString("0x10"));
    EXPECT_EQ(ByteBuffer(16, 2), cache_.getKeyFromRefString("12abc"));
    EXPECT_EQ(ByteBuffer(16, 3), cache_.getKeyFromRefString(""));
    EXPECT_EQ(ByteBuffer(16, 3), cache_.getKeyFromRefString("abc"));
    EXPECT_EQ(CommonUtil::hexStringFromData(ByteBuffer(16, 1)), cache_.getKeyInHexString(16));
    EXPECT_FALSE(cache_.getKeyFromRefString("17"));
    EXPECT_FALSE(cache_.getKeyInHexString(17));
}

TEST_F(SessionKeyCacheTest, ContentTypesOutliveKeys) {
    const auto key = cache_.generateKeyReference();
    ASSERT_TRUE(key);
    const std::uint64_t ref = key->referenceNumber();
    EXPECT_FALSE(cache_.contentTypeForReference(ref));
    cache_.storeContentType("text/plain", ref);
    cache_.storeContentType("application/pdf", ref);  // the second store wins
    EXPECT_EQ("application/pdf", cache_.contentTypeForReference(ref));
    now_ += seconds(301);
    EXPECT_FALSE(cache_.getKey(ref));
    EXPECT_EQ("application/pdf", cache_.contentTypeForReference(ref));
    EXPECT_EQ("application/pdf", cache_.contentTypeForReferenceString(std::to_string(ref)));
    cache_.storeContentType("image/png", 16);
    EXPECT_EQ("image/png", cache_.contentTypeForReferenceString("0x10"));
    EXPECT_FALSE(cache_.contentTypeForReferenceString("17"));
}

// The shared cache is made once, and keys made and looked up from many threads at once stay
// whole and unique.
TEST_F(SessionKeyCacheTest, SharedCacheFromManyThreads) {
    constexpr int kThreads = 8;
    constexpr int kKeys = 50;
    std::vector<std::thread> threads;
    std::vector<std::vector<std::shared_ptr<const SessionKeyReference>>> keys(kThreads);
    std::vector<std::shared_ptr<SessionKeyCache>> seen(kThreads);
    std::atomic<bool> go{false};
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            seen[t] = SessionKeyCache::sharedCache();
            for (int i = 0; i < kKeys; ++i) {
                auto key = seen[t]->generateKeyReference();
                seen[t]->storeContentType("text/plain", key->referenceNumber());
                EXPECT_EQ(key->data(), seen[t]->getKey(key->referenceNumber()));
                keys[t].push_back(std::move(key));
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    std::set<std::uint64_t> references;
    for (std::size_t t = 0; t < kThreads; ++t) {
        EXPECT_EQ(seen[0], seen[t]);
        for (const auto& key : keys[t]) references.insert(key->referenceNumber());
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kKeys), references.size());
}

}  // namespace
