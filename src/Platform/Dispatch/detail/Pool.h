// The one pool of worker threads behind every dispatch queue. Internal to the dispatch layer.
//
// The pool keeps a run list of jobs: a serial queue that has work, or one task of the global
// concurrent queue. A worker takes the job at the front; for a serial queue it runs a bounded
// batch of that queue's tasks and hands the queue back to the run list when more remain, so
// that each queue stays in order and no queue starves the others. When the run list is long
// a worker takes a fair share of queues in one go (kGrab at most); if it then blocks, it hands
// back those it has not started.
//
// A worker that finds nothing to do spins for a moment (kSpinTime, kMaxSpinners at a time)
// before it sleeps; a submission wakes a sleeping worker only when the run list holds more
// jobs than there are workers between jobs.
//
// Threads start lazily, when there is a job and no idle worker, up to processorCount()
// running workers. A worker that blocks (BlockingScope) does not count as running, so another
// may be started in its place, up to kMaxThreads in all. Threads beyond the minimum that stay
// idle for kIdleTimeout exit. Pool threads live as long as the process.
//
// All operations may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform::detail {

// A serial queue as the pool sees it: something with tasks to run a batch of.
class PoolClient {
public:
    virtual ~PoolClient() = default;
    // Runs up to `limit` tasks on the calling worker; the client hands itself back to the pool
    // (Pool::submit) when tasks remain.
    virtual void runBatch(std::size_t limit) = 0;
};

class Pool {
public:
    static constexpr std::size_t kMaxThreads = 256;
    static constexpr std::size_t kBatch = 16;
    static constexpr std::size_t kGrab = 8;
    static constexpr std::size_t kMaxSpinners = 2;
    static constexpr std::chrono::microseconds kSpinTime{50};
    static constexpr std::chrono::seconds kIdleTimeout{5};

    static Pool& shared();

    // Lists a serial queue that has work.
    void submit(std::shared_ptr<PoolClient> client);
    // Lists one task that may run in parallel with any other. While it runs, its worker counts
    // as blocked: the concurrent queue is for blocking work and must not starve serial queues.
    void submitConcurrent(Task task);

    // The calling thread is about to block (or has woken again). Calls from threads that are
    // not pool workers are ignored.
    void willBlock();
    void didUnblock();

    // Threads the pool runs now (for tests and benchmarks).
    std::size_t threadCount();

private:
    struct Worker {
        std::condition_variable cv;
        bool woken = false;  // guarded by Pool::mutex_
        // Queues taken from the run list in one go; touched only by the worker's own thread.
        std::array<std::shared_ptr<PoolClient>, kGrab> grabbed;
        std::size_t count = 0;
        std::size_t next = 0;
    };
    static thread_local Worker* tlsWorker;
    struct Job {
        std::shared_ptr<PoolClient> client;
        Task task;
    };

    Pool();
    void pushLocked(Job job, std::unique_lock<std::mutex>& lock);
    void provideWorkerLocked();
    void workerMain();
    void spinForWork();

    std::mutex mutex_;
    std::deque<Job> runList_;        // guarded by mutex_
    std::vector<Worker*> idle_;      // guarded by mutex_; most recently idle last
    std::size_t threads_ = 0;        // guarded by mutex_
    std::size_t blocked_ = 0;        // guarded by mutex_
    std::size_t searching_ = 0;      // guarded by mutex_; awake workers between two jobs
    std::size_t spinners_ = 0;       // guarded by mutex_; searching workers spinning for work
    std::atomic<std::size_t> listed_{0};  // runList_.size(), written under mutex_, read by spinners
    const std::size_t minWorkers_;
};

// Marks the calling pool worker as blocked for the lifetime of the scope.
class BlockingScope {
public:
    BlockingScope();
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

private:
    bool active_;
};

// True on a pool worker thread.
bool onPoolWorker();

// Runs a task; a task that throws is caught and reported in one plain log line naming the
// queue, so that the worker and the queue go on.
void runTaskCatching(const Task& task, std::string_view queueLabel) noexcept;

}  // namespace platform::detail
