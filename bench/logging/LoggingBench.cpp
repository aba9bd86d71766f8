// Messages per second through the logging hub to the standard-error logger writing to
// /dev/null, asynchronously and synchronously, from 1 and from 8 threads, against the same
// lines written by the callers themselves with one writev each, measured in the same run.
//
// Prints one row per case and the ratio of the direct write's rate to the hub's; the goal is
// an asynchronous ratio of at most 3. Then the rate of eight producers against one, per mode:
// the hub's queue must not collapse when many threads log at once (goal at least 0.5).
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LxLog.h"
#include "Logging/LxLogMacros.h"
#include "Logging/LxTTYLogger.h"
#include "Platform/Format.h"
#include "Platform/ThreadInfo.h"

namespace {

constexpr long kMessagesPerRun = 100000;
constexpr int kRuns = 3;

struct Caller {
    // The same line the standard-error logger writes, made and written by the caller.
    void writeDirect(int fd, const std::string& app, const std::string& pid, long n) {
        std::string text = platform::format("%@[%p]: Connection died: %@ %ld", THIS_FILE, this, "peer closed", n);
        auto now = std::chrono::system_clock::now().time_since_epoch();
        auto secs = std::chrono::floor<std::chrono::seconds>(now);
        int millis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - secs).count());
        std::time_t t = static_cast<std::time_t>(secs.count());
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[24];
        int s = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d:%03d", local.tm_year + 1900,
                              local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis);
        char thread[9];
        int th = std::snprintf(thread, sizeof thread, "%x", static_cast<unsigned>(platform::currentThreadId()));
        iovec v[9] = {
            {stamp, static_cast<size_t>(std::min(s, 23))},
            {const_cast<char*>(" "), 1},
            {const_cast<char*>(app.data()), app.size()},
            {const_cast<char*>("["), 1},
            {const_cast<char*>(pid.data()), pid.size()},
            {const_cast<char*>(":"), 1},
            {thread, static_cast<size_t>(std::min(th, 8))},
            {const_cast<char*>("] "), 2},
            {text.data(), text.size()},
        };
        iovec all[10];
        std::copy(std::begin(v), std::end(v), all);
        all[9] = {const_cast<char*>("\n"), 1};
        (void)::writev(fd, all, 10);
    }
    void logAsync(long n) { LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Connection died: %@ %ld", THIS_FILE, this, "peer closed", n); }
    void logSync(long n) { LX_LOG_ERROR(LogContextHttpServer, "%@[%p]: Connection died: %@ %ld", THIS_FILE, this, "peer closed", n); }
};

enum class Mode { Direct, Async, Sync };

// Messages per second of the best of kRuns runs.
double rate(Mode mode, int threads, int devNull) {
    const std::string app = platform::processName();
    const std::string pid = std::to_string(getpid());
    double best = 0;
    for (int run = 0; run < kRuns; ++run) {
        const long perThread = kMessagesPerRun / threads;
        auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> callers;
        for (int t = 0; t < threads; ++t) {
            callers.emplace_back([&] {
                Caller caller;
                for (long i = 0; i < perThread; ++i) {
                    switch (mode) {
                    case Mode::Direct: caller.writeDirect(devNull, app, pid, i); break;
                    case Mode::Async: caller.logAsync(i); break;
                    case Mode::Sync: caller.logSync(i); break;
                    }
                }
            });
        }
        for (auto& c : callers) c.join();
        if (mode != Mode::Direct) LxLog::flushLog();  // count only delivered messages
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::max(best, static_cast<double>(perThread * threads) / seconds);
    }
    return best;
}

}  // namespace

int main() {
    int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull < 0) {
        std::perror("open /dev/null");
        return 1;
    }
    int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(devNull, STDERR_FILENO);  // the standard-error logger writes to /dev/null

    LxLog::addLogger(LxTTYLogger::sharedInstance());
    LxLog::flushLog();

    struct Row {
        const char* name;
        int threads;
        double direct;
        double async;
        double sync;
    };
    std::vector<Row> rows;
    for (int threads : {1, 8}) {
        Row row{"", threads, 0, 0, 0};
        row.direct = rate(Mode::Direct, threads, devNull);
        row.async = rate(Mode::Async, threads, devNull);
        row.sync = rate(Mode::Sync, threads, devNull);
        rows.push_back(row);
    }

    ::dup2(savedStderr, STDERR_FILENO);
    std::printf("logging hub to the standard-error logger on /dev/null (%ld messages per run, best of %d)\n",
                kMessagesPerRun, kRuns);
    std::printf("%-8s %16s %16s %16s %12s %12s\n", "threads", "direct msg/s", "async msg/s", "sync msg/s",
                "direct/async", "direct/sync");
    bool met = true;
    for (const Row& r : rows) {
        double asyncRatio = r.direct / r.async;
        std::printf("%-8d %16.0f %16.0f %16.0f %12.2f %12.2f\n", r.threads, r.direct, r.async, r.sync, asyncRatio,
                    r.direct / r.sync);
        if (asyncRatio > 3.0) met = false;
    }
    std::printf("goal (asynchronous within 3x of the direct write): %s\n", met ? "met" : "not met");
    const Row& one = rows.front();
    const Row& eight = rows.back();
    std::printf("eight producers against one: async %.2f, sync %.2f (goal at least 0.5)\n", eight.async / one.async,
                eight.sync / one.sync);
    return 0;
}
