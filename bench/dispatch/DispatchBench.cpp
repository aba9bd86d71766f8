// Dispatch queues against the plain way: one std::thread fed through a mutex and a condition
// variable. Prints each pair's ratio at the end (queue time / plain-thread time).
#include <benchmark/benchmark.h>

#include "tools/ProcessThreads.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/Semaphore.h"

namespace {

using platform::DispatchQueue;
using platform::Semaphore;

constexpr int kFanOut = 1000;

// The baseline: one thread that runs what it is handed, in order.
class PlainWorker {
public:
    PlainWorker() : thread_([this] { run(); }) {}
    ~PlainWorker() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_one();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stop_ = false;
    std::thread thread_;
};

void BM_HopQueue(benchmark::State& state) {
    auto queue = DispatchQueue::createSerial("bench.hop");
    Semaphore back;
    for (auto _ : state) {
        queue->async([&] { back.signal(); });
        back.wait();
    }
}
BENCHMARK(BM_HopQueue)->UseRealTime();

void BM_HopPlainThread(benchmark::State& state) {
    PlainWorker worker;
    Semaphore back;
    for (auto _ : state) {
        worker.post([&] { back.signal(); });
        back.wait();
    }
}
BENCHMARK(BM_HopPlainThread)->UseRealTime();

// A hop from one queue to another and back, as a socket queue and the connection queue do.
void BM_PingPongQueues(benchmark::State& state) {
    auto a = DispatchQueue::createSerial("bench.ping");
    auto b = DispatchQueue::createSerial("bench.pong");
    Semaphore done;
    for (auto _ : state) {
        a->async([&] { b->async([&] { done.signal(); }); });
        done.wait();
    }
}
BENCHMARK(BM_PingPongQueues)->UseRealTime();

void BM_PingPongPlainThreads(benchmark::State& state) {
    PlainWorker a;
    PlainWorker b;
    Semaphore done;
    for (auto _ : state) {
        a.post([&] { b.post([&] { done.signal(); }); });
        done.wait();
    }
}
BENCHMARK(BM_PingPongPlainThreads)->UseRealTime();

// One task on each of a thousand queues, as when every socket gets a read event at once.
void BM_FanOutQueues(benchmark::State& state) {
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    for (int i = 0; i < kFanOut; ++i) queues.push_back(DispatchQueue::createSerial("bench.fan"));
    Semaphore done;
    std::atomic<int> left{0};
    for (auto _ : state) {
        left = kFanOut;
        for (auto& q : queues)
            q->async([&] {
                if (left.fetch_sub(1) == 1) done.signal();
            });
        done.wait();
    }
    state.SetItemsProcessed(state.iterations() * kFanOut);
}
BENCHMARK(BM_FanOutQueues)->UseRealTime();

void BM_FanOutPlainThread(benchmark::State& state) {
    PlainWorker worker;
    Semaphore done;
    std::atomic<int> left{0};
    for (auto _ : state) {
        left = kFanOut;
        for (int i = 0; i < kFanOut; ++i)
            worker.post([&] {
                if (left.fetch_sub(1) == 1) done.signal();
            });
        done.wait();
    }
    state.SetItemsProcessed(state.iterations() * kFanOut);
}
BENCHMARK(BM_FanOutPlainThread)->UseRealTime();

using testtools::threadsOfProcess;

void BM_TenThousandIdleQueues(benchmark::State& state) {
    std::size_t added = 0;
    for (auto _ : state) {
        const std::size_t before = threadsOfProcess();
        std::vector<std::shared_ptr<DispatchQueue>> queues;
        queues.reserve(10000);
        for (int i = 0; i < 10000; ++i) queues.push_back(DispatchQueue::createSerial("bench.idle"));
        const std::size_t after = threadsOfProcess();
        added = after > before ? after - before : 0;
    }
    state.counters["threads_added"] = static_cast<double>(added);
}
BENCHMARK(BM_TenThousandIdleQueues)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps each run's time per iteration so that the pairs can be compared at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void printRatio(const char* what, const std::string& queue, const std::string& plain) const {
        auto q = times_.find(queue);
        auto p = times_.find(plain);
        if (q == times_.end() || p == times_.end() || p->second <= 0) return;
        std::printf("%-28s queue %10.2f  plain thread %10.2f  ratio %.2fx\n", what, q->second, p->second,
                    q->second / p->second);
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios (queue / plain std::thread, lower is better; same time unit per line):\n");
    reporter.printRatio("hop (async, signal back)", "BM_HopQueue/real_time", "BM_HopPlainThread/real_time");
    reporter.printRatio("ping-pong between two", "BM_PingPongQueues/real_time", "BM_PingPongPlainThreads/real_time");
    reporter.printRatio("fan-out to 1000", "BM_FanOutQueues/real_time", "BM_FanOutPlainThread/real_time");
    benchmark::Shutdown();
    return 0;
}
