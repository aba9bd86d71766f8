#include "Platform/Keychain/StoreFileCache.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "Platform/Keychain/KeychainTestHome.h"

namespace {

using platform::StoreFile;
using platform::StoreFileCache;

// The cache over real files, with a parse that counts its calls.
class StoreFileCacheTest : public keychain_test::TemporaryHome {
protected:
    struct Parsed {
        std::string text;  // the contents, joined with '|'
        int number = 0;    // which parse made it
    };

    StoreFileCache<Parsed>::Result get(const std::vector<std::string>& paths) {
        return cache_.get(paths, [this](const std::vector<std::string>& contents) {
            Parsed parsed;
            for (const auto& c : contents) parsed.text += (parsed.text.empty() ? "" : "|") + c;
            parsed.number = ++parses_;
            return parsed;
        });
    }
    // The text the cache gives for the files, or "<missing>" / "<failed>" with the index.
    std::string textOf(const std::vector<std::string>& paths) {
        auto result = get(paths);
        if (result.value) return result.value->text;
        const bool missing = result.failure.status == StoreFile::ReadStatus::Missing;
        return (missing ? "<missing " : "<failed ") + std::to_string(result.failedIndex) + ">";
    }
    std::string path(const std::string& name) const { return root_ + "/" + name; }
    static void writeInPlace(const std::string& p, const std::string& contents) {
        std::ofstream(p, std::ios::trunc) << contents;
    }

    StoreFileCache<Parsed> cache_;
    int parses_ = 0;
};

TEST_F(StoreFileCacheTest, UnchangedFilesAreNotParsedAgain) {
    writeInPlace(path("a"), "alpha");
    writeInPlace(path("b"), "beta");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(textOf({path("a")}), "alpha");
        EXPECT_EQ(textOf({path("a"), path("b")}), "alpha|beta");
    }
    EXPECT_EQ(parses_, 2);
    EXPECT_EQ(cache_.size(), 2u);

    // New times, new inode, the same bytes: read again, not parsed again.
    ::utimensat(AT_FDCWD, path("a").c_str(), nullptr, 0);
    ASSERT_FALSE(StoreFile::writeAtomically(path("b"), "beta", 0600));
    EXPECT_EQ(textOf({path("a"), path("b")}), "alpha|beta");
    EXPECT_EQ(parses_, 2);
}

// Whatever happens to a file between two lookups, the second sees what the file holds now.
TEST_F(StoreFileCacheTest, EveryChangeOfAFileIsSeenByTheNextLookup) {
    struct Case {
        const char* title;
        std::function<void(const std::string&)> change;
        std::string expected;
    };
    const Case cases[] = {
        {"rewritten in place, same size", [](const std::string& p) { writeInPlace(p, "bbbb"); }, "bbbb"},
        {"rewritten in place, shorter", [](const std::string& p) { writeInPlace(p, "b"); }, "b"},
        {"cut to nothing", [](const std::string& p) { ::truncate(p.c_str(), 0); }, ""},
        {"replaced by rename, same size",
         [](const std::string& p) { ASSERT_FALSE(StoreFile::writeAtomically(p, "cccc", 0600)); }, "cccc"},
        {"removed", [](const std::string& p) { std::filesystem::remove(p); }, "<missing 0>"},
        {"removed and made again",
         [](const std::string& p) {
             std::filesystem::remove(p);
             writeInPlace(p, "dddd");
         },
         "dddd"},
        {"replaced by a link to another file",
         [this](const std::string& p) {
             writeInPlace(path("other"), "eeee");
             std::filesystem::remove(p);
             std::filesystem::create_symlink(path("other"), p);
         },
         "eeee"},
        // Opens, then fails every read with EIO: a reason that may pass, and the lookup fails.
        {"replaced by a file that cannot be read",
         [](const std::string& p) {
             std::filesystem::remove(p);
             std::filesystem::create_symlink("/proc/self/mem", p);
         },
         "<failed 0>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const std::string p = path("file");
        std::filesystem::remove(p);
        writeInPlace(p, "aaaa");
        ASSERT_EQ(textOf({p}), "aaaa");
        c.change(p);
        EXPECT_EQ(textOf({p}), c.expected);
    }
}

// A file rewritten in place to the same size within one tick of a coarse file-system clock
// keeps its stamp. It is still seen: a file that changed so shortly before it was read is read
// again at every lookup. (Current kernels give a file whose times were just looked at a finer
// time at its next change; a file of /proc, whose stamp stays from the moment it was first
// looked up however its contents change, stands for the coarse clocks.)
TEST_F(StoreFileCacheTest, RewritesWithinOneClockTickAreSeen) {
    const std::string a = path("a");
    const std::string b = path("b");
    writeInPlace(a, "key-00");
    writeInPlace(b, "cert-00");
    for (int i = 1; i <= 200; ++i) {
        SCOPED_TRACE(i);
        char n[8];
        std::snprintf(n, sizeof n, "%02d", i % 100);
        ASSERT_EQ(textOf({a, b}).substr(0, 4), "key-");
        if (i % 2) {
            writeInPlace(a, std::string("key-") + n);
        } else {
            writeInPlace(b, std::string("cert-") + n);
        }
        ASSERT_EQ(textOf({a, b}), keychain_test::readFile(a) + "|" + keychain_test::readFile(b));
    }

    // A new thread, so that its name file is looked up for the first time here.
    std::thread([&] {
        const std::string comm = "/proc/thread-self/comm";
        const auto before = get({comm});
        for (const char* name : {"cache-first", "cache-second", "cache-third"}) {
            SCOPED_TRACE(name);
            ::pthread_setname_np(::pthread_self(), name);
            EXPECT_EQ(textOf({comm}), std::string(name) + "\n");
        }
        ASSERT_TRUE(before.value);
    }).join();
}

// Once a file has settled (it changed well before its contents were read) a lookup takes its
// stamp, not its bytes; a thread's name file, whose stamp never changes, shows it. A parse that
// fails then must not leave the entry without the bytes it did not read.
TEST_F(StoreFileCacheTest, SettledFilesAreNotReadAgainAndAFailedParseForgetsTheEntry) {
    std::thread([&] {
        const std::string comm = "/proc/thread-self/comm";
        const std::string b = path("b");
        writeInPlace(b, "beta");
        ::pthread_setname_np(::pthread_self(), "settle-first");
        ASSERT_EQ(textOf({comm, b}), "settle-first\n|beta");
        std::this_thread::sleep_for(StoreFileCache<Parsed>::kSettleTime + std::chrono::milliseconds(200));
        ASSERT_EQ(textOf({comm, b}), "settle-first\n|beta");  // read again; settled from now on

        ::pthread_setname_np(::pthread_self(), "settle-second");
        EXPECT_EQ(textOf({comm, b}), "settle-first\n|beta");

        writeInPlace(b, "beta-2");
        const auto failing = [](const std::vector<std::string>&) -> Parsed { throw std::runtime_error("no parse"); };
        EXPECT_THROW(cache_.get({comm, b}, failing), std::runtime_error);
        EXPECT_EQ(textOf({comm, b}), "settle-second\n|beta-2");
    }).join();
}

// A group fails on its first file (in order) that cannot be read, and is parsed anew when the
// files read again.
TEST_F(StoreFileCacheTest, GroupFailsOnItsFirstUnreadableFile) {
    const std::string a = path("a");
    const std::string b = path("b");
    EXPECT_EQ(textOf({a, b}), "<missing 0>");
    writeInPlace(b, "beta");
    EXPECT_EQ(textOf({a, b}), "<missing 0>");
    writeInPlace(a, "alpha");
    std::filesystem::remove(b);
    EXPECT_EQ(textOf({a, b}), "<missing 1>");
    writeInPlace(b, "beta");
    EXPECT_EQ(textOf({a, b}), "alpha|beta");
    EXPECT_EQ(parses_, 1);
    if (::geteuid() != 0) {
        ::chmod(b.c_str(), 0);
        auto result = get({a, b});
        EXPECT_FALSE(result.value);
        EXPECT_EQ(result.failedIndex, 1u);
        EXPECT_FALSE(result.failure.passing);
    }
}

TEST_F(StoreFileCacheTest, EntriesNotAskedForAreForgotten) {
    writeInPlace(path("a"), "alpha");
    writeInPlace(path("b"), "beta");
    EXPECT_EQ(textOf({path("a")}), "alpha");
    EXPECT_EQ(textOf({path("b")}), "beta");
    cache_.forgetUnused();
    EXPECT_EQ(cache_.size(), 2u);
    EXPECT_EQ(textOf({path("b")}), "beta");
    cache_.forgetUnused();
    EXPECT_EQ(cache_.size(), 1u);
    EXPECT_EQ(textOf({path("a")}), "alpha");
    EXPECT_EQ(parses_, 3);
}

}  // namespace
