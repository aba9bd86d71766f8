#include "Platform/Keychain/Subprocess.h"

#include <gtest/gtest.h>

namespace {

using platform::Subprocess;

TEST(SubprocessTest, RunsProgramsWithInputAndCollectsOutput) {
    auto cat = Subprocess::run({"/bin/cat"}, "hello\n");
    EXPECT_TRUE(cat.started);
    EXPECT_EQ(cat.exitStatus, 0);
    EXPECT_EQ(cat.output, "hello\n");

    // Large input in both directions must not stall on full pipes.
    std::string big(1 << 20, 'x');
    auto large = Subprocess::run({"/bin/cat"}, big);
    EXPECT_EQ(large.exitStatus, 0);
    EXPECT_EQ(large.output.size(), Subprocess::kOutputLimit);

    // A program that exits without reading its input is no harm to us (no SIGPIPE).
    auto early = Subprocess::run({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, big);
    EXPECT_EQ(early.exitStatus, 3);
    EXPECT_EQ(early.output, "out\nerr\n");

    auto missing = Subprocess::run({"/nonexistent/program"});
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.output.empty());
}

TEST(SubprocessTest, FindsProgramsInPath) {
    EXPECT_TRUE(Subprocess::findInPath("sh").has_value());
    EXPECT_FALSE(Subprocess::findInPath("pellix-no-such-program").has_value());
}

}  // namespace
