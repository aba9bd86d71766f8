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
//   job that has waited in the slot longer than kNextSlotPatience is not left to wait for the
//   batch: between two tasks the worker moves it to its run list, and while one long task
//   runs, an idle or spinning worker takes it from the slot, as the slot watch (below) makes
//   sure one does. The jobs one task submits to different queues may therefore start in any
//   order; a queue's own tasks keep theirs, as a queue is listed at most once at a time.
// - Jobs submitted from other threads (the reactor, the main thread, blocked workers) wait in
//   the inbox, a list that a submitter adds to with one atomic operation, never waiting for a
//   worker that takes from it. A worker takes the whole inbox at once, runs the oldest job and
//   keeps the rest on its own list, where other workers take their share. Concurrent tasks
//   wait on the global list, under a lock.
// - A worker looks at its slot, its own list, the inbox and the global list, and then takes
//   half of another worker's list, or a job that has outstayed its patience in another's slot.
//
// The slot watch: a worker that is busy with one long task cannot hand on its slot, and the
// other workers may all be asleep. So while slots are in use, the pool's watch thread looks at
// them now and then: first when the job that started the watch reaches its patience, then at
// intervals that grow to kSlotWatchInterval while it finds nothing to take. What has waited
// past its patience goes to the inbox, which wakes a worker for it. The watch stops when a
// look finds every slot empty and none filled since the last look; the next job put in a slot
// starts it again. A busy hop from queue to queue thus costs the watch a look a millisecond,
// and an idle pool nothing. The watch's thread starts with the first job put in a slot and
// lives as long as the process. (It is not the reactor thread: a reactor woken by a timer
// every millisecond slowed a single connection's requests by a sixth.)
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

namespace platform::detail {

// A serial queue as the pool sees it: something with tasks to run a batch of.
// A client is listed with the pool at most once at a time (a serial queue lists itself when it
// takes its turn, and again only when the pool has taken it): while it waits in the inbox, the
// inbox's link and reference live in the client itself.
class PoolClient {
public:
    virtual ~PoolClient() = default;
    // Runs up to `limit` tasks on the calling worker. Returns true when tasks remain: the client
    // keeps its turn and the caller runs or lists it again.
    virtual bool runBatch(std::size_t limit) = 0;

private:
    friend class Pool;
    // Set while the client waits in the pool's inbox: the inbox's reference to it, and the
    // client listed before it.
    std::shared_ptr<PoolClient> inboxSelf_;
    PoolClient* inboxNext_ = nullptr;
    // Set while the client waits in a worker's next-job slot: the slot's reference to it.
    std::shared_ptr<PoolClient> slotSelf_;
};

class Pool {
public:
    static constexpr std::size_t kMaxThreads = 256;
    static constexpr std::size_t kBatch = 16;
    // Batches a queue runs in a row while other jobs wait for its worker.
    static constexpr std::size_t kBatchesInARow = 8;
    static constexpr std::chrono::microseconds kSpinTime{50};
    // How often a spinning worker looks for descriptor events.
    static constexpr std::chrono::microseconds kEventLookInterval{4};
    static constexpr std::chrono::microseconds kNextSlotPatience{20};
    // The longest the slot watch waits between two looks while slots are in use.
    static constexpr std::chrono::microseconds kSlotWatchInterval{1000};
    static constexpr std::chrono::seconds kIdleTimeout{5};

    static Pool& shared();

    // Lists a serial queue that has work.
    void submit(std::shared_ptr<PoolClient> client);
    // Lists one task that may run in parallel with any other. While it runs, its worker counts
    // as blocked: the concurrent queue is for blocking work and must not starve serial queues.
    void submitConcurrent(Task task);

    // Called by a serial queue between two of its tasks: a job that has waited in this
    // worker's next-job slot for kNextSlotPatience is offered to the other workers instead of
    // waiting for the batch to end. Calls from threads that are not pool workers are ignored.
    static void betweenTasks();

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
        // The next-job slot, holding the client's slotSelf_. Filled only by the worker's own
        // thread; emptied by it, or by whoever takes a job that has outstayed its patience
        // there (takeFromSlot): whoever empties the slot owns the job.
        std::atomic<PoolClient*> next{nullptr};
        std::atomic<int64_t> nextSince{0};    // when next was last filled (nanosOf)
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
    // Empties the calling worker's own slot.
    static Job takeOwnSlot(Worker& w);
    // Empties another worker's slot when its job has waited there for kNextSlotPatience by
    // `now` (nanosOf); null when there is none, or when its owner took it first.
    static Job takeFromSlot(Worker& victim, int64_t now);
    bool slotOutstayed(int64_t now) const;
    // Starts the slot watch, unless it runs already, with a first look at `firstLook`.
    void watchSlots(int64_t firstLook);
    void watchMain();
    // One look of the slot watch, on its thread. Returns when to look next (nanosOf), or 0
    // when the watch has stopped.
    int64_t lookAtSlots();
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

    // Set while the slot watch runs: a look is due.
    std::atomic<bool> slotWatched_{false};
    std::mutex watchMutex_;
    std::condition_variable watchCv_;
    int64_t watchDue_ = 0;                     // guarded by watchMutex_; the next look, 0: none
    bool watchStarted_ = false;                // guarded by watchMutex_
    // Touched only by the slot watch's thread.
    std::chrono::nanoseconds slotWatchInterval_{kNextSlotPatience};
    std::array<int64_t, kMaxThreads> slotSeen_{};  // each worker's nextSince at the last look
    std::vector<Job> slotTaken_;

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
