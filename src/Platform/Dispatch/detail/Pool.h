// The one pool of worker threads behind every dispatch queue. Internal to the dispatch layer.
//
// A job is a serial queue that has work (a PoolClient), or one task of the global concurrent
// queue. A worker runs a bounded batch of a queue's tasks and then lists the queue again when
// more remain, so that each queue stays in order and no queue starves the others.
//
// Where jobs wait:
// - Each worker has a next-job slot and a run list of its own. The first job submitted from a
//   task that runs on a worker goes to that worker's next-job slot: it runs on the same thread
//   right after the current batch, which makes a hop from one queue to the next cost no
//   wake-up. Further jobs go to the worker's run list, where other workers may take them. A
//   job that has waited in the slot longer than NextJobSlot::kPatience is not left to wait for
//   the batch: between two tasks the worker moves it to its run list, and while one long task
//   runs, an idle or spinning worker takes it from the slot, as the slot watch (NextJobSlot.h)
//   makes sure one does. The jobs one task submits to different queues may therefore start in
//   any order; a queue's own tasks keep theirs, as a queue is listed at most once at a time.
// - Jobs submitted from other threads (the reactor, the main thread, blocked workers) wait in
//   the inbox, a list that a submitter adds to with one atomic operation, never waiting for a
//   worker that takes from it. A worker takes the whole inbox at once, runs the oldest job and
//   keeps the rest on its own list, where other workers take their share. Concurrent tasks
//   wait on the global list, under a lock.
// - A worker looks at its slot, its own list, the inbox and the global list, and then takes
//   half of another worker's list, or a job that has outstayed its patience in another's slot.
//
// Wake-ups: a worker that has nothing to do searches the lists, spins a moment (kSpinTime, one
// worker at a time, and only while no other worker runs a job; the spinner also takes the
// descriptor events that are ready, see Reactor::takeEventsNow) and then sleeps. A submission
// wakes a sleeping worker only when no worker is searching; a searching worker that finds a
// job wakes another only when it was the last searcher and more jobs are listed. A burst of
// submissions therefore costs a few wake-ups, not one each.
//
// Threads start lazily, when there is a job and no worker to take it, up to processorCount()
// running workers. A worker that blocks (BlockingScope) hands its slot and list to the inbox
// and does not count as running, so another may start in its place, up to kMaxThreads in
// all. Threads beyond the minimum that stay idle for kIdleTimeout exit. Pool threads live as
// long as the process.
//
// All operations may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/detail/NextJobSlot.h"
#include "Platform/Dispatch/detail/PoolClient.h"

namespace platform::detail {

class Pool : private NextJobSlot::Watch::Owner {
public:
    static constexpr std::size_t kMaxThreads = 256;
    static constexpr std::size_t kBatch = 16;
    // Batches a queue runs in a row while other jobs wait for its worker.
    static constexpr std::size_t kBatchesInARow = 8;
    static constexpr std::chrono::microseconds kSpinTime{50};
    // How often a spinning worker looks for descriptor events.
    static constexpr std::chrono::microseconds kEventLookInterval{4};
    static constexpr std::chrono::seconds kIdleTimeout{5};

    static Pool& shared();

    // Lists a serial queue that has work.
    void submit(std::shared_ptr<PoolClient> client);
    // Lists one task that may run in parallel with any other. While it runs, its worker counts
    // as blocked: the concurrent queue is for blocking work and must not starve serial queues.
    void submitConcurrent(Task task);

    // Called by a serial queue between two of its tasks: a job that has waited in this
    // worker's next-job slot for NextJobSlot::kPatience is offered to the other workers
    // instead of waiting for the batch to end. Calls from threads that are not pool workers
    // are ignored.
    static void betweenTasks();

    // On a pool worker that is not blocked: takes `client` out of this worker's next-job slot
    // when it waits there, for the caller to run it at once; null otherwise.
    static std::shared_ptr<PoolClient> takeFromOwnSlot(const PoolClient* client);

    // The calling thread is about to block (or has woken again). Calls from threads that are
    // not pool workers are ignored.
    void willBlock();
    void didUnblock();

    // Threads the pool runs now (for tests and benchmarks).
    std::size_t threadCount();
    // Workers spinning for work now: at most one, none once the pool has been idle for
    // kSpinTime (for tests).
    std::size_t spinningWorkers() const;

    // While alive on a thread that is not a pool worker, that thread's submissions are kept
    // and listed together when the scope ends: one compare-and-swap on the inbox and at most
    // one wake-up for a whole burst (the reactor's events of one wake-up).
    class SubmissionBatch {
    public:
        SubmissionBatch();
        ~SubmissionBatch();
        SubmissionBatch(const SubmissionBatch&) = delete;
        SubmissionBatch& operator=(const SubmissionBatch&) = delete;

    private:
        bool active_;
    };

private:
    using Job = std::shared_ptr<PoolClient>;

    // A first-in first-out list of jobs in one growing ring.
    class JobRing {
    public:
        bool empty() const { return size_ == 0; }
        std::size_t size() const { return size_; }
        void push(Job job);
        Job pop();

    private:
        std::vector<Job> slots_;
        std::size_t head_ = 0;
        std::size_t size_ = 0;
    };

    struct alignas(64) Worker {
        // The worker's own run list; other workers take from it too.
        std::mutex mutex;
        JobRing jobs;                         // guarded by mutex
        std::atomic<std::size_t> listed{0};   // jobs.size(), for a look without the lock
        // The next-job slot. Filled only by the worker's own thread; emptied by it, or by
        // whoever takes a job that has outstayed its patience there: whoever empties the slot
        // owns the job.
        NextJobSlot slot;
        // Touched only by the worker's own thread.
        unsigned ticks = 0;
        uint32_t random = 0;
        // Sleeping.
        std::condition_variable cv;
        bool woken = false;                   // guarded by Pool::idleMutex_
        bool inUse = false;                   // guarded by Pool::idleMutex_
    };
    static thread_local Worker* tlsWorker;

    Pool();
    bool slotOutstayed(int64_t now) const;
    // What the slot watch looks at, and where it lists what it takes.
    std::size_t slotsInUse() const override;
    NextJobSlot& slotAt(std::size_t index) override;
    void listTaken(Job* jobs, std::size_t count) override;
    void pushLocal(Worker& w, Job job);
    void handOff(Worker& w);
    bool takeJob(Worker& w, Job& job, Task& task, bool searching);
    bool takeGlobal(Worker& w, Job& job, Task& task);
    bool takeInbox(Worker& w, Job& job);
    // Lists jobs (oldest first) in the inbox in one step and counts them; the caller wakes a
    // worker when it should.
    void listInInbox(Job* jobs, std::size_t count);
    bool steal(Worker& w, Job& job);
    bool workListed() const;
    void notify();
    Worker* wakeOneLocked();
    void blockedOnce();
    bool park(Worker& w);
    // Whether a worker that found nothing spins before it sleeps; true makes it the spinner.
    bool shouldSpin();
    void spinForWork(const Worker& w);
    void runJob(Worker& w, Job job);
    void runConcurrent(Worker& w, Task task);
    void workerMain(Worker* w);

    const std::size_t minWorkers_;
    std::array<Worker, kMaxThreads> workers_;
    std::atomic<std::size_t> workerSlots_{0};  // slots ever used: stealers look at these

    // The inbox: the newest job listed from outside the pool, linked to older ones through
    // PoolClient::inboxNext_.
    std::atomic<PoolClient*> inbox_{nullptr};
    std::mutex globalMutex_;
    std::vector<Task> concurrent_;             // guarded by globalMutex_; taken from the front
    std::size_t concurrentHead_ = 0;           // guarded by globalMutex_
    // Jobs in the inbox and concurrent_, counted after they are listed and before they are
    // taken (so it may dip below 0 for a moment).
    std::atomic<int64_t> globalListed_{0};

    std::atomic<std::size_t> searching_{0};    // awake workers looking for a job
    std::atomic<std::size_t> spinning_{0};     // searching workers spinning before they sleep
    // Workers running a job: awake, neither searching nor blocked. (Relaxed: a hint for
    // spinning, never for a wake-up.)
    std::atomic<std::size_t> running_{0};

    NextJobSlot::Watch slotWatch_{*this, kMaxThreads};

    std::mutex idleMutex_;
    std::vector<Worker*> sleepers_;            // guarded by idleMutex_; most recently asleep last
    std::size_t threads_ = 0;                  // guarded by idleMutex_
    std::size_t blocked_ = 0;                  // guarded by idleMutex_
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
void runTaskCatching(TaskNode& task, std::string_view queueLabel) noexcept;

}  // namespace platform::detail
