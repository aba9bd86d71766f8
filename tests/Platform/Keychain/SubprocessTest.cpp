#include "Platform/Keychain/Subprocess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "tools/Eventually.h"

namespace {

using platform::Subprocess;

// Gone, or a zombie: a killed grandchild is not ours to collect, and whoever adopts it may be
// slow to.
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

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

// A child runs in a session of its own (no controlling terminal), with /dev/null as its
// standard input unless it is given bytes.
TEST(SubprocessTest, ChildrenHaveNoTerminalAndNoInput) {
    const std::string probe =
        "readlink /proc/$$/fd/0; [ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo leader; "
        "(: </dev/tty) 2>/dev/null && echo terminal; exit 0";
    auto result = Subprocess::run({"/bin/sh", "-c", probe});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, "/dev/null\nleader\n");
}

// A child that overruns its time-out is ended, with whatever it started, and reported as such;
// so is one that closes its output and goes on running.
TEST(SubprocessTest, OverrunningChildrenAreEnded) {
    char dir[] = "/tmp/pellix-subprocess-test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string pidFile = std::string(dir) + "/pid";
    const struct {
        const char* title;
        std::string script;
    } cases[] = {
        {"sleeps", "sleep 60 & echo $! >" + pidFile + "; wait"},
        {"closes its output first", "exec >/dev/null 2>&1; sleep 60 & echo $! >" + pidFile + "; wait"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const auto start = std::chrono::steady_clock::now();
        auto result = Subprocess::run({"/bin/sh", "-c", c.script}, {}, std::chrono::milliseconds(300));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_TRUE(result.started);
        EXPECT_TRUE(result.timedOut);
        EXPECT_EQ(result.exitStatus, -1);
        std::ifstream in(pidFile);
        pid_t grandchild = 0;
        ASSERT_TRUE(in >> grandchild);
        EXPECT_TRUE(testtools::eventually([&] { return ended(grandchild); })) << "the child's own child still runs";
    }
    auto quick = Subprocess::run({"/bin/sh", "-c", "exit 4"}, {}, std::chrono::milliseconds(5000));
    EXPECT_FALSE(quick.timedOut);
    EXPECT_EQ(quick.exitStatus, 4);
    std::filesystem::remove_all(dir);
}

TEST(SubprocessTest, SpawnedChildIsWatchedByPolling) {
    auto quick = Subprocess::spawn({"/bin/sh", "-c", "read x; echo out; echo err >&2; exit \"${x:-7}\""});
    ASSERT_TRUE(quick);
    EXPECT_TRUE(testtools::eventually([&] { return !quick->running(); }));
    EXPECT_EQ(quick->exitStatus(), 7);  // read met the end of /dev/null at once

    auto slow = Subprocess::spawn({"/bin/sleep", "60"});
    ASSERT_TRUE(slow);
    EXPECT_TRUE(slow->running());
    slow->terminate();
    EXPECT_FALSE(slow->running());
    EXPECT_EQ(slow->exitStatus(), -1);

    EXPECT_FALSE(Subprocess::spawn({"/nonexistent/program"}).has_value());
}

// A file handed to a spawned child reaches it open, as /dev/fd/3, even once its path is gone,
// from whatever number the caller holds it on (3 itself included).
TEST(SubprocessTest, SpawnedChildReadsThePassedFile) {
    const std::string path = std::filesystem::temp_directory_path() / ("pellix-passed-" + std::to_string(::getpid()));
    std::ofstream(path) << "passed\n";
    const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(opened, 0);
    std::filesystem::remove(path);
    const bool threeFree = ::fcntl(Subprocess::kPassedDescriptor, F_GETFD) < 0;
    const struct {
        const char* title;
        int descriptor;
    } cases[] = {
        {"a number of its own", opened},
        {"the child's number", threeFree ? ::dup3(opened, Subprocess::kPassedDescriptor, O_CLOEXEC) : -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        if (c.descriptor < 0) continue;  // descriptor 3 is taken in this process
        auto child = Subprocess::spawn(
            {"/bin/sh", "-c", std::string("read line < ") + Subprocess::kPassedFilePath + " && [ \"$line\" = passed ]"},
            c.descriptor);
        ASSERT_TRUE(child);
        EXPECT_TRUE(testtools::eventually([&] { return !child->running(); }));
        EXPECT_EQ(child->exitStatus(), 0);
        EXPECT_GE(::fcntl(c.descriptor, F_GETFD), 0) << "the caller keeps its descriptor";
    }
    if (threeFree) ::close(Subprocess::kPassedDescriptor);
    ::close(opened);
}

TEST(SubprocessTest, FindsProgramsInPath) {
    EXPECT_TRUE(Subprocess::findInPath("sh").has_value());
    EXPECT_FALSE(Subprocess::findInPath("pellix-no-such-program").has_value());
}

}  // namespace
