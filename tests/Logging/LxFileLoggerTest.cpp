#include "Logging/LxFileLogger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LogFileTestSupport.h"
#include "Logging/LxLog.h"
#include "Logging/LxLogFileFormatterDefault.h"
#include "Logging/LxLogFileManagerDefault.h"
#include "Platform/Files/ExtendedAttributes.h"
#include "Platform/ThreadInfo.h"
#include "tools/Eventually.h"
#include "tools/LogCapture.h"
#include "tools/ScratchDirectory.h"

namespace {

using namespace std::chrono_literals;
using logging_test::carriesArchivedMark;
using logging_test::makeLogFile;
using logging_test::readFile;

// The default manager, noting its two optional hooks.
class NotingManager : public LxLogFileManagerDefault {
public:
    using LxLogFileManagerDefault::LxLogFileManagerDefault;

    void didArchiveLogFile(const std::string& path) override { note("archived " + name(path)); }
    void didRollAndArchiveLogFile(const std::string& path) override { note("rolled " + name(path)); }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    static std::string name(const std::string& path) { return path.substr(path.rfind('/') + 1); }
    void note(std::string event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::mutex mutex_;
    std::vector<std::string> events_;  // guarded by mutex_
};

// Drops every message.
class DroppingFormatter : public LxLogFormatter {
public:
    LxLogText formatLogMessage(const LxLogMessage&) override { return nullptr; }
};

// While it lives, the directory carries the immutable flag (file systems like ext4, and a
// process with CAP_LINUX_IMMUTABLE): nothing can be made in it, not even by root.
class ImmutableDirectory {
public:
    explicit ImmutableDirectory(std::string path) : path_(std::move(path)) { locked_ = setFlag(true); }
    ~ImmutableDirectory() { unlock(); }
    bool isLocked() const { return locked_; }
    void unlock() {
        if (locked_) locked_ = !setFlag(false);
    }

private:
    bool setFlag(bool on) {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return done;
    }

    const std::string path_;
    bool locked_ = false;
};

// Logs synchronously through the hub: every logger has written the text when it returns.
void logText(const std::string& text) {
    LxLog::log(false, LogLevelWarning, LogFlagError, LogContextDefault, __FILE__, __func__, __LINE__, std::nullopt, "%@", text);
}

// A file logger in a scratch directory, registered with the hub. Lines are written without a
// formatter unless a test sets one, so that the files hold exactly the texts.
class FileLoggerFixture {
public:
    explicit FileLoggerFixture(std::string logsDirectory = {}) {
        manager_ = std::make_shared<NotingManager>(logsDirectory.empty() ? dir_.path() : logsDirectory);
        logger_ = std::make_shared<LxFileLogger>(manager_);
        logger_->setLogFormatter(nullptr);
    }
    ~FileLoggerFixture() { stop(); }

    void start() {
        LxLog::addLogger(logger_);
        started_ = true;
    }
    void stop() {
        if (!started_) return;
        started_ = false;
        LxLog::removeLogger(logger_);
        settle();
    }
    // Returns when everything queued with the hub has reached the logger and run there.
    void settle() { logger_->maximumFileSize(); }

    // The log files, newest first, with their contents and marks.
    struct File {
        std::string name;
        std::string content;
        bool archived;
        friend bool operator==(const File&, const File&) = default;
        friend std::ostream& operator<<(std::ostream& out, const File& f) {
            return out << f.name << (f.archived ? " (archived) " : " ") << '"' << f.content << '"';
        }
    };
    std::vector<File> files() {
        std::vector<File> result;
        for (const auto& info : manager_->sortedLogFileInfos())
            result.push_back({info->fileName(), readFile(info->filePath()), carriesArchivedMark(info->filePath())});
        return result;
    }
    std::vector<std::string> contents() {
        std::vector<std::string> result;
        for (const File& f : files()) result.push_back(f.content);
        return result;
    }

    testtools::ScratchDirectory dir_{"pellix-filelogger-test"};
    std::shared_ptr<NotingManager> manager_;
    std::shared_ptr<LxFileLogger> logger_;
    bool started_ = false;
};

class LxFileLoggerTest : public ::testing::Test {
protected:
    void TearDown() override { platform::setExtendedAttributesUnsupportedForTesting(false); }
    testtools::LogCapture log_;
};

TEST_F(LxFileLoggerTest, FirstMessageInAnEmptyDirectoryMakesOneFileWithThatLine) {
    FileLoggerFixture f;
    f.logger_ = std::make_shared<LxFileLogger>(f.manager_);  // with its default formatter
    f.start();
    logText("hello");

    const auto files = f.files();
    ASSERT_EQ(1u, files.size());
    EXPECT_TRUE(std::regex_match(files[0].name, std::regex("log-[0-9A-F]{6}\\.txt"))) << files[0].name;
    EXPECT_TRUE(std::regex_match(files[0].content, std::regex("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}  hello\n")))
        << files[0].content;
    EXPECT_FALSE(files[0].archived);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(LxFileLoggerTest, EveryTextBecomesOneLine) {
    FileLoggerFixture f;
    f.start();
    for (const char* text : {"a", "b\n", "", "c\n\n", "d"}) logText(text);
    EXPECT_EQ(std::vector<std::string>{"a\nb\n\nc\n\nd\n"}, f.contents());
}

TEST_F(LxFileLoggerTest, DroppedMessageWritesNothing) {
    FileLoggerFixture f;
    f.logger_->setLogFormatter(std::make_shared<DroppingFormatter>());
    f.start();
    logText("dropped");
    EXPECT_TRUE(f.files().empty());  // no file was even made
}

TEST_F(LxFileLoggerTest, AfterARestartTheNewestFileIsReusedOnlyWhileUnderBothLimits) {
    struct Case {
        const char* title;
        bool archived;
        uint64_t maximumFileSize;
        double rollingFrequency;
        bool reused;
    };
    const Case cases[] = {
        {"under both limits", false, 1024 * 1024, 86400, true},
        {"no limits", false, 0, 0, true},
        {"at the size limit", false, 5, 86400, false},
        {"as old as the frequency", false, 1024 * 1024, 0.05, false},
        {"archived", true, 1024 * 1024, 86400, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        FileLoggerFixture f;
        makeLogFile(f.dir_.join("log-000001.txt"), "older\n", true);
        makeLogFile(f.dir_.join("log-000002.txt"), "old!\n", c.archived);
        std::this_thread::sleep_for(100ms);  // older than 0.05 s
        f.logger_->setMaximumFileSize(c.maximumFileSize);
        f.logger_->setRollingFrequency(c.rollingFrequency);
        f.start();
        logText("new");

        auto files = f.files();
        if (c.reused) {
            ASSERT_EQ(2u, files.size());
            EXPECT_EQ((FileLoggerFixture::File{"log-000002.txt", "old!\nnew\n", false}), files[0]);
            EXPECT_TRUE(f.manager_->events().empty());
        } else {
            ASSERT_EQ(3u, files.size());
            EXPECT_EQ("new\n", files[0].content);
            EXPECT_EQ((FileLoggerFixture::File{"log-000002.txt", "old!\n", true}), files[1]);
            // The hook is for a file the logger itself found too big or too old. (With the
            // short frequency the new file's own timer may have rolled it meanwhile.)
            auto events = f.manager_->events();
            if (c.rollingFrequency < 1 && events.size() == 2) events.pop_back();
            EXPECT_EQ(c.archived ? std::vector<std::string>{} : std::vector<std::string>{"archived log-000002.txt"}, events);
        }
        EXPECT_EQ((FileLoggerFixture::File{"log-000001.txt", "older\n", true}), files.back());
    }
}

TEST_F(LxFileLoggerTest, WriteThatReachesTheSizeLimitRollsTheFile) {
    FileLoggerFixture f;
    f.logger_->setMaximumFileSize(12);
    f.start();
    for (int i = 0; i < 3; ++i) logText("12345");
    const auto files = f.files();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ("12345\n", files[0].content);
    EXPECT_FALSE(files[0].archived);
    EXPECT_EQ("12345\n12345\n", files[1].content);  // whole lines, the last one reaching the limit
    EXPECT_TRUE(files[1].archived);
    EXPECT_EQ(std::vector<std::string>{"rolled " + files[1].name}, f.manager_->events());
}

TEST_F(LxFileLoggerTest, ZeroLimitsNeverRoll) {
    FileLoggerFixture f;
    f.logger_->setMaximumFileSize(0);
    f.logger_->setRollingFrequency(0);
    f.start();
    const std::string text(1000, 'x');
    for (int i = 0; i < 20; ++i) logText(text);
    std::this_thread::sleep_for(50ms);
    logText("last");
    const auto files = f.files();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(20u * 1001u + 5u, files[0].content.size());
    EXPECT_FALSE(files[0].archived);
}

TEST_F(LxFileLoggerTest, AgeBeyondTheClocksRangeNeverRolls) {
    FileLoggerFixture f;
    f.logger_->setRollingFrequency(1e300);
    f.start();
    logText("one");
    logText("two");
    EXPECT_EQ(std::vector<std::string>{"one\ntwo\n"}, f.contents());
    EXPECT_FALSE(f.files()[0].archived);
}

TEST_F(LxFileLoggerTest, TimerRollsTheFileWhenItReachesItsAge) {
    FileLoggerFixture f;
    f.logger_->setRollingFrequency(0.3);
    f.start();
    logText("first");
    const auto first = f.files().at(0);
    const auto created = LxLogFileInfo(f.dir_.join(first.name)).creationDate().value();

    // No further message: the timer alone archives the file, not before its age is reached.
    ASSERT_TRUE(testtools::eventually([&] { return carriesArchivedMark(f.dir_.join(first.name)); }));
    EXPECT_GE(std::chrono::system_clock::now() - created, 300ms);
    // The file is marked just before the manager hears of the roll, on the logger's queue.
    ASSERT_TRUE(testtools::eventually([&] { return !f.manager_->events().empty(); }));
    EXPECT_EQ(std::vector<std::string>{"rolled " + first.name}, f.manager_->events());

    logText("second");
    EXPECT_EQ(std::vector<std::string>({"second\n", "first\n"}), f.contents());
}

TEST_F(LxFileLoggerTest, NewLimitsApplyAtOnceToTheFileBeingWritten) {
    FileLoggerFixture f;
    f.start();
    logText("123456789");
    f.logger_->setMaximumFileSize(5);
    EXPECT_EQ(5u, f.logger_->maximumFileSize());  // seen after the setter from the same thread
    ASSERT_EQ(1u, f.files().size());
    EXPECT_TRUE(f.files()[0].archived);

    f.logger_->setMaximumFileSize(0);
    logText("young");
    std::this_thread::sleep_for(20ms);
    f.logger_->setRollingFrequency(0.01);
    EXPECT_EQ(0.01, f.logger_->rollingFrequency());
    auto files = f.files();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ("young\n", files[0].content);
    EXPECT_TRUE(files[0].archived);
}

TEST_F(LxFileLoggerTest, RollLogFileFromAnyThreadAndFromItsOwnQueue) {
    FileLoggerFixture f;
    f.start();
    logText("one");
    std::thread([&] { f.logger_->rollLogFile(); }).join();
    f.settle();
    ASSERT_EQ(1u, f.files().size());
    EXPECT_TRUE(f.files()[0].archived);

    logText("two");
    bool archivedAtOnce = false;
    f.logger_->loggerQueue()->sync([&] {
        f.logger_->rollLogFile();
        archivedAtOnce = f.files()[0].archived;
    });
    EXPECT_TRUE(archivedAtOnce);
    // Rolling with no file open does nothing.
    f.logger_->rollLogFile();
    f.settle();
    EXPECT_EQ(2u, f.files().size());
}

TEST_F(LxFileLoggerTest, LeavingTheHubArchivesTheFile) {
    FileLoggerFixture f;
    f.start();
    logText("bye");
    f.stop();
    ASSERT_EQ(1u, f.files().size());
    EXPECT_TRUE(f.files()[0].archived);
    logText("not for this logger");
    EXPECT_EQ(std::vector<std::string>{"bye\n"}, f.contents());
}

TEST_F(LxFileLoggerTest, FileSystemWithoutExtendedAttributesKeepsTheLoggerWriting) {
    FileLoggerFixture f;
    platform::setExtendedAttributesUnsupportedForTesting(true);
    f.logger_->setMaximumFileSize(12);
    f.start();
    for (int i = 0; i < 3; ++i) logText("12345");
    f.stop();
    platform::setExtendedAttributesUnsupportedForTesting(false);

    // Every line is written; the full file is still replaced by a new one.
    EXPECT_EQ(std::vector<std::string>({"12345\n", "12345\n12345\n"}), f.contents());
    const auto files = f.files();
    for (const auto& file : files) {
        EXPECT_TRUE(log_.contains("LxLogFileInfo: setxattr(log.archived, " + file.name + "): error = -1")) << file.name;
    }
}

TEST_F(LxFileLoggerTest, MissingDirectoryLosesMessagesUntilItCanBeMade) {
    testtools::ScratchDirectory parent("pellix-filelogger-test");
    makeLogFile(parent.join("blocker"), "a plain file where a directory should be", false);
    FileLoggerFixture f(parent.join("blocker/logs"));
    f.start();
    logText("lost");
    logText("lost too");
    // One line, the directory's own, once per run of failures: no file is tried under a
    // directory that is not there.
    const auto lines = log_.lines();
    ASSERT_EQ(1u, lines.size()) << ::testing::PrintToString(lines);
    EXPECT_EQ(0u, lines[0].rfind("LxFileLogManagerDefault: Error creating logsDirectory: Error Domain=NSPOSIXErrorDomain Code=20 ", 0)) << lines[0];

    ASSERT_EQ(0, ::unlink(parent.join("blocker").c_str()));
    logText("kept");
    EXPECT_EQ(std::vector<std::string>{"kept\n"}, f.contents());
}

TEST_F(LxFileLoggerTest, RegressionDirectoryOrFileThatCannotBeMadeIsReportedWithItsOwnError) {
    // An immutable directory takes no new entry, not even from root (who passes every
    // permission check): mkdir and creat fail with EPERM, where opening a file that was never
    // made would say ENOENT.
    struct Case {
        const char* title;
        const char* logsDirectory;  // under the immutable directory
        const char* line;           // the one line, as a regular expression
    };
    const Case cases[] = {
        {"the directory cannot be made", "locked/logs",
         "LxFileLogManagerDefault: Error creating logsDirectory: Error Domain=NSPOSIXErrorDomain Code=1 .*"},
        {"the directory is there but takes no file", "locked",
         "LxFileLogManagerDefault: Error creating log file \\(log-[0-9A-F]{6}\\.txt\\): Error Domain=NSPOSIXErrorDomain Code=1 .*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        log_.clear();
        testtools::ScratchDirectory parent("pellix-filelogger-test");
        ASSERT_EQ(0, ::mkdir(parent.join("locked").c_str(), 0700));
        ImmutableDirectory locked(parent.join("locked"));
        if (!locked.isLocked()) GTEST_SKIP() << "no immutable directories here (file system or capability)";
        FileLoggerFixture f(parent.join(c.logsDirectory));
        f.start();
        logText("lost");
        logText("lost too");
        const auto lines = log_.lines();
        EXPECT_EQ(1u, lines.size()) << ::testing::PrintToString(lines);
        if (!lines.empty()) {
            EXPECT_TRUE(std::regex_match(lines[0], std::regex(c.line))) << lines[0];
        }

        locked.unlock();
        logText("kept");
        EXPECT_EQ(std::vector<std::string>{"kept\n"}, f.contents());
        f.stop();
    }
}

TEST_F(LxFileLoggerTest, RegressionNewestEntryThatIsNoWritableRegularFileIsPassedOverWithoutWaiting) {
    // The newest entry named like a log file is not archived and under both limits, so it is
    // the one to append to. When it cannot be opened, or is no regular file, the logger goes
    // on in a new file instead of losing every message, and never waits on it: opening a
    // FIFO for writing would wait for a reader, holding the logger's queue, the caller of a
    // synchronous log call and in the end every caller at the hub's window.
    struct Case {
        const char* title;
        // Makes the entry at `path`; `dir` is the logs directory. 0 on success.
        std::function<int(const std::string& path, const std::string& dir)> make;
        const char* fifo;   // the FIFO behind the entry (a name in the directory), or nullptr
        bool withReader;    // the FIFO has a reader while the logger runs
        const char* line;   // the one line, as a regular expression
    };
    const auto makeFifo = [](const std::string& path, const std::string&) { return ::mkfifo(path.c_str(), 0600); };
    const Case cases[] = {
        {"a directory", [](const std::string& path, const std::string&) { return ::mkdir(path.c_str(), 0700); },
         nullptr, false, "LxFileLogger: Error opening log file \\(log-AAAAAA\\.txt\\): Error Domain=NSPOSIXErrorDomain Code=21 .*"},
        {"a FIFO without a reader", makeFifo, "log-AAAAAA.txt", false,
         "LxFileLogger: Error opening log file \\(log-AAAAAA\\.txt\\): Error Domain=NSPOSIXErrorDomain Code=6 .*"},
        {"a FIFO with a reader", makeFifo, "log-AAAAAA.txt", true,
         "LxFileLogger: Error opening log file \\(log-AAAAAA\\.txt\\): Error Domain=NSPOSIXErrorDomain Code=6 .*"},
        {"a link to a FIFO",
         [](const std::string& path, const std::string& dir) {
             if (::mkfifo((dir + "/fifo").c_str(), 0600) != 0) return -1;
             return ::symlink((dir + "/fifo").c_str(), path.c_str());
         },
         "fifo", false, "LxFileLogger: Error opening log file \\(log-AAAAAA\\.txt\\): Error Domain=NSPOSIXErrorDomain Code=6 .*"},
        {"a socket",
         [](const std::string& path, const std::string&) {
             const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             if (fd < 0 || path.size() >= sizeof address.sun_path) return -1;
             std::copy(path.begin(), path.end(), address.sun_path);
             const int result = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
             ::close(fd);  // the socket file stays
             return result;
         },
         nullptr, false, "LxFileLogger: Error opening log file \\(log-AAAAAA\\.txt\\): Error Domain=NSPOSIXErrorDomain Code=6 .*"},
        {"a link to /dev/full", [](const std::string& path, const std::string&) { return ::symlink("/dev/full", path.c_str()); },
         nullptr, false, "LxFileLogger: Error opening log file \\(log-AAAAAA\\.txt\\): Error Domain=NSPOSIXErrorDomain Code=6 .*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        log_.clear();
        FileLoggerFixture f;
        ASSERT_EQ(0, c.make(f.dir_.join("log-AAAAAA.txt"), f.dir_.path()));
        int reader = -1;
        if (c.withReader) reader = ::open(f.dir_.join(c.fifo).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        f.logger_->setRollingFrequency(0);  // /dev/full is as old as the machine
        f.start();

        // The first message, which finds the entry, on a thread of its own with a time limit.
        auto first = std::async(std::launch::async, [] { logText("line 0"); });
        if (first.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << "the log call still waits after 5 s";
            // A reader lets the waiting open go on, so that the test can end.
            if (c.fifo && reader < 0) reader = ::open(f.dir_.join(c.fifo).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        first.get();
        std::string written = "line 0\n";
        for (int i = 1; i < 20; ++i) {
            logText("line " + std::to_string(i));
            written += "line " + std::to_string(i) + "\n";
        }
        f.stop();
        if (reader >= 0) ::close(reader);

        const auto lines = log_.lines();
        EXPECT_EQ(1u, lines.size()) << ::testing::PrintToString(lines);
        if (!lines.empty()) {
            EXPECT_TRUE(std::regex_match(lines[0], std::regex(c.line))) << lines[0];
        }
        // Every line is in the new file (never read the entry: /dev/full reads without end, a
        // FIFO waits for a writer).
        std::vector<std::string> others;
        for (const std::string& name : f.manager_->sortedLogFileNames())
            if (name != "log-AAAAAA.txt") others.push_back(readFile(f.dir_.join(name)));
        EXPECT_EQ(std::vector<std::string>{written}, others);
    }
}

// While it lives, writes to regular files stop at `bytes` (a write that crosses it is cut
// short there, one at or beyond it fails with EFBIG), and SIGXFSZ is ignored so that the
// limit is an error to the writer instead of the end of the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        savedHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        set_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, savedHandler_);
    }
    bool isSet() const { return set_; }

private:
    rlimit saved_{};
    sighandler_t savedHandler_ = SIG_DFL;
    bool set_ = false;
};

TEST_F(LxFileLoggerTest, RegressionWriteCutShortLeavesNoTornLine) {
    // A write that the file-size limit cuts short (as a full disk would) must not leave a
    // fragment that the next message is glued to: every line of every file is one whole
    // message, and the message after the failure is written.
    const std::string earlier(99, 'e');              // 100 bytes with its newline
    const std::string cut = "a message cut short by the limit";
    struct Case {
        const char* title;
        bool foundAfterARestart;  // the file was there before the logger, else it made it
        bool cutMessageKept;      // a found file is passed over, and the message goes to a new one
    };
    const Case cases[] = {
        {"a file of its own", false, false},
        {"a file found after a restart", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        log_.clear();
        FileLoggerFixture f;
        if (c.foundAfterARestart) makeLogFile(f.dir_.join("log-AAAAAA.txt"), earlier + "\n", false);
        f.start();
        if (!c.foundAfterARestart) logText(earlier);
        {
            // Five bytes of the message fit; a new file takes it whole.
            FileSizeLimit limit(earlier.size() + 1 + 5);
            ASSERT_TRUE(limit.isSet());
            logText(cut);
        }
        logText("after");
        f.stop();

        const auto lines = log_.lines();
        EXPECT_EQ(1u, lines.size()) << ::testing::PrintToString(lines);
        if (!lines.empty()) {
            EXPECT_TRUE(std::regex_match(lines[0], std::regex("LxFileLogger: Error writing log file \\(log-[0-9A-F]{6}\\.txt\\): "
                                                              "Error Domain=NSPOSIXErrorDomain Code=27 .*")))
                << lines[0];
        }
        std::vector<std::string> messages;
        for (const std::string& content : f.contents()) {
            EXPECT_TRUE(content.empty() || content.back() == '\n') << "a file ends in part of a line: " << content;
            std::istringstream in(content);
            for (std::string line; std::getline(in, line);) {
                EXPECT_TRUE(line == earlier || line == cut || line == "after") << "not a whole message: " << line;
                messages.push_back(line);
            }
        }
        std::vector<std::string> expected{earlier, "after"};
        if (c.cutMessageKept) expected.insert(expected.begin() + 1, cut);
        std::sort(messages.begin(), messages.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, messages);
    }
}

TEST_F(LxFileLoggerTest, MessagesThatEachFillAFileLoseNoLine) {
    // Files are made faster than the birth-time clock ticks; the one being written must
    // still never count as old.
    FileLoggerFixture f;
    f.manager_->setMaximumNumberOfLogFiles(1);
    f.logger_->setMaximumFileSize(1);
    f.start();
    for (int i = 0; i < 40; ++i) logText(std::to_string(i));
    EXPECT_TRUE(log_.lines().empty()) << ::testing::PrintToString(log_.lines());
    const auto files = f.files();
    ASSERT_GE(files.size(), 1u);
    ASSERT_LE(files.size(), 2u);
    EXPECT_NE(files.end(), std::find_if(files.begin(), files.end(), [](const auto& file) { return file.content == "39\n"; }));
}

TEST_F(LxFileLoggerTest, DefaultsAndTheDefaultDirectory) {
    testtools::ScratchDirectory state("pellix-filelogger-test");
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    auto logger = std::make_shared<LxFileLogger>();
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(state.join(platform::processName()), logger->logFileManager()->logsDirectory());
    EXPECT_EQ(5u, logger->logFileManager()->maximumNumberOfLogFiles());
    EXPECT_EQ(1048576u, logger->maximumFileSize());
    EXPECT_EQ(86400.0, logger->rollingFrequency());
    EXPECT_EQ("log.hub.fileLogger", logger->loggerName());
    EXPECT_EQ("log.hub.fileLogger", logger->loggerQueue()->label());
    EXPECT_NE(nullptr, std::dynamic_pointer_cast<LxLogFileFormatterDefault>(logger->logFormatter()));
}

}  // namespace
