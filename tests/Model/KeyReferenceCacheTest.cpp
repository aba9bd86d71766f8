#include "Model/KeyReferenceCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "Platform/Crypto/SecureRandom.h"
#include "tools/LogCapture.h"
#include "tools/ScriptedRandom.h"
#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"

namespace {

ByteBuffer hex(std::string_view text) { return CommonUtil::dataFromHexString(text); }

using testtools::ScriptedRandom;

class KeyReferenceCacheTest : public ::testing::Test {
protected:
    std::vector<std::string> lines() const { return log_.lines(); }

private:
    testtools::LogCapture log_;
};

TEST_F(KeyReferenceCacheTest, IssuedKeysAreKeptAndDiffer) {
    KeyReferenceCache cache;
    const auto a = cache.generateApduKeyReference();
    const auto b = cache.generateApduKeyReference();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->referenceNumber(), b->referenceNumber());
    EXPECT_NE(a->data(), b->data());
    EXPECT_EQ(a->data(), cache.getApduKey(a->referenceNumber()));
    EXPECT_EQ(a->data(), cache.getApduKey(a->referenceNumber()));  // never consumed
    EXPECT_EQ(b->data(), cache.getApduKey(b->referenceNumber()));

    const std::regex data("^[0-9A-F]{32}$");
    for (int i = 0; i < 50; ++i) {
        const auto key = cache.generateApduKeyReference();
        ASSERT_TRUE(key);
        const nlohmann::json body = key->jsonDict();
        ASSERT_EQ(2u, body.size());
        ASSERT_TRUE(body["ref"].is_number_unsigned());
        ASSERT_LE(body["ref"].get<std::uint64_t>(), 4294967295u);
        ASSERT_TRUE(std::regex_match(body["data"].get<std::string>(), data)) << body.dump();
    }
}

TEST_F(KeyReferenceCacheTest, TakenReferenceIsDrawnAgainWithTheSameKeyBytes) {
    KeyReferenceCache cache;
    {
        ScriptedRandom random(hex("00000007" "000102030405060708090A0B0C0D0E0F"));
        const auto first = cache.generateApduKeyReference();
        ASSERT_TRUE(first);
        EXPECT_EQ(7u, first->referenceNumber());
    }
    ScriptedRandom random(hex("00000007" "FFEEDDCCBBAA99887766554433221100" "00000008"));
    const auto second = cache.generateApduKeyReference();
    ASSERT_TRUE(second);
    EXPECT_EQ(8u, second->referenceNumber());
    EXPECT_EQ(hex("FFEEDDCCBBAA99887766554433221100"), second->data());
    EXPECT_EQ(hex("000102030405060708090A0B0C0D0E0F"), cache.getApduKey(7));
}

TEST_F(KeyReferenceCacheTest, FailingRandomSourceMakesNoKey) {
    KeyReferenceCache cache;
    struct Case {
        const char* name;
        ByteBuffer bytes;  // what the source gives before it fails
    };
    const Case cases[] = {
        {"no reference", {}},
        {"reference but no key bytes", hex("00000009")},
        {"taken reference, then no new one", hex("00000009" "000102030405060708090A0B0C0D0E0F")},
    };
    {
        ScriptedRandom random(hex("00000009" "00000000000000000000000000000009"));
        ASSERT_TRUE(cache.generateApduKeyReference());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedRandom random(c.bytes);
        EXPECT_EQ(nullptr, cache.generateApduKeyReference());
    }
    EXPECT_FALSE(cache.getApduKey(0));
    const std::vector<std::string> expected(3, "Failed to generate an apdu key: random source failed");
    EXPECT_EQ(expected, lines());
}

TEST_F(KeyReferenceCacheTest, UnknownReference) {
    KeyReferenceCache cache;
    EXPECT_FALSE(cache.getApduKey(0));
    EXPECT_FALSE(cache.getApduKey(12345));
}

// The dormant document-key copies run on a list of this cache's own.
TEST_F(KeyReferenceCacheTest, DocumentKeyCopiesHaveTheirOwnList) {
    platform::BootClock::time_point now{};
    KeyReferenceCache cache([&] { return now; });
    const auto key = cache.generateKeyReference();
    ASSERT_TRUE(key);
    EXPECT_FALSE(cache.isUniquePair(key->referenceNumber(), {}));
    EXPECT_EQ(key->data(), cache.getKey(key->referenceNumber()));
    EXPECT_FALSE(SessionKeyCache::sharedCache()->getKey(key->referenceNumber()));
    now += std::chrono::seconds(301);
    cache.cleanup();
    EXPECT_TRUE(cache.isUniquePair(key->referenceNumber(), key->data()));
}

// The shared cache is made once even when first used from many threads at once.
TEST_F(KeyReferenceCacheTest, SharedCacheFromManyThreads) {
    constexpr int kThreads = 8;
    constexpr int kKeys = 50;
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<KeyReferenceCache>> seen(kThreads);
    std::vector<std::vector<std::shared_ptr<const ApduKeyRef>>> keys(kThreads);
    std::atomic<bool> go{false};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            seen[static_cast<std::size_t>(t)] = KeyReferenceCache::sharedCache();
            for (int i = 0; i < kKeys; ++i) keys[static_cast<std::size_t>(t)].push_back(seen[static_cast<std::size_t>(t)]->generateApduKeyReference());
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    std::set<std::uint32_t> references;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(seen[0], seen[static_cast<std::size_t>(t)]);
        for (const auto& key : keys[static_cast<std::size_t>(t)]) {
            ASSERT_TRUE(key);
            references.insert(key->referenceNumber());
            EXPECT_EQ(key->data(), KeyReferenceCache::sharedCache()->getApduKey(key->referenceNumber()));
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kKeys), references.size());
}

}  // namespace
