#include "Platform/Dispatch/detail/Pool.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "Platform/Dispatch/detail/Reactor.h"
#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"

namespace platform::detail {

namespace {

thread_local bool tlsPoolWorker = false;
// Nesting depth of blocking on this worker: only the outermost block is counted, so a
// semaphore wait inside a concurrent task (already counted as blocking) counts once.
thread_local int tlsBlockDepth = 0;

// Submissions kept by a SubmissionBatch on this thread.
struct HeldSubmissions {
    bool active = false;
    std::vector<std::shared_ptr<PoolClient>> jobs;
};
thread_local HeldSubmissions tlsHeld;

// Jobs a worker takes from another worker, at most, beyond the one it runs: they go to its own
// list, where others may take them in turn.
constexpr std::size_t kShare = 8;

using Clock = std::chrono::steady_clock;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

// The worker running on this thread.
thread_local Pool::Worker* Pool::tlsWorker = nullptr;

void Pool::JobRing::push(Job job) {
    if (size_ == slots_.size()) {
        std::vector<Job> grown(std::max<std::size_t>(16, slots_.size() * 2));
        for (std::size_t i = 0; i < size_; ++i) grown[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        slots_.swap(grown);
        head_ = 0;
    }
    slots_[(head_ + size_) % slots_.size()] = std::move(job);
    ++size_;
}

Pool::Job Pool::JobRing::pop() {
    Job job = std::move(slots_[head_]);
    head_ = (head_ + 1) % slots_.size();
    --size_;
    return job;
}

Pool& Pool::shared() {
    // Never destroyed: detached workers may still use it while the process exits.
    static Pool* pool = new Pool();
    return *pool;
}

Pool::Pool() : minWorkers_(std::max<std::size_t>(2, processorCount())) {}

void Pool::submit(std::shared_ptr<PoolClient> client) {
    if (Worker* w = tlsWorker; w && tlsBlockDepth == 0) {
        // From a task on this worker: the first job it submits runs here next, with no
        // wake-up; later ones wait where other workers may take them.
        if (!w->slot.holdsJob()) {
            // Filled, then the watch looked at; the watch stops, then looks at the slots once
            // more (both seq_cst): one of the two sees the other, so no job is left unwatched.
            const int64_t now = w->slot.fill(std::move(client));
            slotWatch_.slotFilled(now);
            return;
        }
        pushLocal(*w, std::move(client));
        notify();
        return;
    }
    if (tlsHeld.active) {
        tlsHeld.jobs.push_back(std::move(client));
        return;
    }
    listInInbox(&client, 1);
    notify();
}

void Pool::listInInbox(Job* jobs, std::size_t count) {
    if (count == 0) return;
    // Linked newest first, as the inbox keeps them; the oldest of them then links to what the
    // inbox holds already, which is older still.
    PoolClient* const oldest = jobs[0].get();
    PoolClient* newest = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PoolClient* client = jobs[i].get();
        client->inboxNext_ = newest;
        client->inboxSelf_ = std::move(jobs[i]);
        newest = client;
    }
    PoolClient* head = inbox_.load(std::memory_order_relaxed);
    do {
        oldest->inboxNext_ = head;
    } while (!inbox_.compare_exchange_weak(head, newest, std::memory_order_release, std::memory_order_relaxed));
    // Counted once listed: a worker that sees the count finds the jobs.
    globalListed_.fetch_add(static_cast<int64_t>(count), std::memory_order_seq_cst);
}

void Pool::submitConcurrent(Task task) {
    {
        std::lock_guard<std::mutex> lock(globalMutex_);
        concurrent_.push_back(std::move(task));
    }
    // Counted after the lock is released: a spinning worker that sees the count takes the
    // lock at once, and must not find the submitter still holding it.
    globalListed_.fetch_add(1, std::memory_order_seq_cst);
    notify();
}

void Pool::betweenTasks() {
    Worker* w = tlsWorker;
    if (!w || !w->slot.holdsJob() || tlsBlockDepth != 0) return;
    // Short tasks (a cancel handler, a delegate call) end the batch soon enough: the job waits
    // for this thread rather than cost a wake-up and a move to another.
    if (NextJobSlot::nanosOf(Clock::now()) - w->slot.filledAt() < NextJobSlot::kPatienceNanos) return;
    Job job = w->slot.takeOwn();
    if (!job) return;  // taken by another worker meanwhile
    Pool& pool = shared();
    pool.pushLocal(*w, std::move(job));
    pool.notify();
}

std::shared_ptr<PoolClient> Pool::takeFromOwnSlot(const PoolClient* client) {
    Worker* w = tlsWorker;
    if (!w || tlsBlockDepth != 0) return nullptr;
    return w->slot.takeOwnIf(client);
}

bool Pool::slotOutstayed(int64_t now) const {
    const std::size_t slots = workerSlots_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < slots; ++i)
        if (workers_[i].slot.outstayed(now)) return true;
    return false;
}

std::size_t Pool::slotsInUse() const { return workerSlots_.load(std::memory_order_acquire); }

NextJobSlot& Pool::slotAt(std::size_t index) { return workers_[index].slot; }

void Pool::listTaken(Job* jobs, std::size_t count) {
    listInInbox(jobs, count);
    notify();
}

void Pool::pushLocal(Worker& w, Job job) {
    std::lock_guard<std::mutex> lock(w.mutex);
    w.jobs.push(std::move(job));
    w.listed.store(w.jobs.size(), std::memory_order_seq_cst);
}

void Pool::notify() {
    // A searching worker finds the job by itself; and the one that finds a job while others
    // remain listed wakes the next (workerMain). So a submission costs a wake-up only when
    // every worker is busy or asleep.
    if (searching_.load(std::memory_order_seq_cst) != 0) return;
    Worker* woken;
    {
        std::lock_guard<std::mutex> lock(idleMutex_);
        woken = wakeOneLocked();
    }
    // Outside the lock, which the woken worker takes first thing. (Workers are never freed.)
    if (woken) woken->cv.notify_one();
}

Pool::Worker* Pool::wakeOneLocked() {
    if (searching_.load(std::memory_order_seq_cst) != 0) return nullptr;
    if (!sleepers_.empty()) {
        Worker* w = sleepers_.back();
        sleepers_.pop_back();
        w->woken = true;
        searching_.fetch_add(1, std::memory_order_seq_cst);  // on the woken worker's behalf
        return w;
    }
    if (threads_ - blocked_ >= minWorkers_ || threads_ >= kMaxThreads) return nullptr;
    auto free = std::find_if(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.inUse; });
    if (free == workers_.end()) return nullptr;
    Worker* w = &*free;
    w->inUse = true;
    std::size_t slot = static_cast<std::size_t>(free - workers_.begin()) + 1;
    if (workerSlots_.load(std::memory_order_relaxed) < slot) workerSlots_.store(slot, std::memory_order_release);
    searching_.fetch_add(1, std::memory_order_seq_cst);  // a new worker starts searching
    try {
        std::thread([this, w] { workerMain(w); }).detach();
        ++threads_;
    } catch (const std::system_error& e) {
        // The jobs stay listed; the next submission or a finishing worker picks them up.
        searching_.fetch_sub(1, std::memory_order_seq_cst);
        w->inUse = false;
        plainLog("Dispatch pool: cannot start a worker thread: %@", e.what());
    }
    return nullptr;
}

bool Pool::workListed() const {
    if (globalListed_.load(std::memory_order_seq_cst) > 0) return true;
    const std::size_t slots = workerSlots_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < slots; ++i)
        if (workers_[i].listed.load(std::memory_order_seq_cst) != 0) return true;
    return false;
}

bool Pool::takeJob(Worker& w, Job& job, Task& task, bool searching) {
    // Now and then the inbox and the global list first, so that a worker kept busy by its own
    // jobs still serves what other threads submit.
    if (++w.ticks % 61 == 0 && takeGlobal(w, job, task)) return true;
    if ((job = w.slot.takeOwn())) return true;
    if (w.listed.load(std::memory_order_relaxed) != 0) {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!w.jobs.empty()) {
            job = w.jobs.pop();
            w.listed.store(w.jobs.size(), std::memory_order_seq_cst);
            return true;
        }
    }
    if (takeGlobal(w, job, task)) return true;
    return searching && steal(w, job);
}

bool Pool::takeGlobal(Worker& w, Job& job, Task& task) {
    if (globalListed_.load(std::memory_order_seq_cst) <= 0) return false;
    // Serial queues and concurrent tasks take turns, so that neither kind starves.
    if (inbox_.load(std::memory_order_relaxed) == nullptr || (w.ticks & 1) != 0) {
        std::lock_guard<std::mutex> lock(globalMutex_);
        if (concurrentHead_ < concurrent_.size()) {
            task = std::move(concurrent_[concurrentHead_++]);
            if (concurrentHead_ == concurrent_.size()) {
                concurrent_.clear();
                concurrentHead_ = 0;
            }
            globalListed_.fetch_sub(1, std::memory_order_seq_cst);
            return true;
        }
    }
    return takeInbox(w, job);
}

bool Pool::takeInbox(Worker& w, Job& job) {
    PoolClient* client = inbox_.exchange(nullptr, std::memory_order_acquire);
    if (!client) return false;
    // Oldest first.
    PoolClient* oldest = nullptr;
    std::size_t count = 0;
    while (client) {
        PoolClient* older = client->inboxNext_;
        client->inboxNext_ = oldest;
        oldest = client;
        client = older;
        ++count;
    }
    globalListed_.fetch_sub(static_cast<int64_t>(count), std::memory_order_seq_cst);
    // Each link is read before its client is handed on: once listed again, a client may be
    // taken, run and listed anew by another worker.
    PoolClient* rest = oldest->inboxNext_;
    job = std::move(oldest->inboxSelf_);
    if (!rest) return true;
    // The rest of the burst goes on our list, where other workers take their share.
    std::lock_guard<std::mutex> lock(w.mutex);
    while (rest) {
        PoolClient* next = rest->inboxNext_;
        w.jobs.push(std::move(rest->inboxSelf_));
        rest = next;
    }
    w.listed.store(w.jobs.size(), std::memory_order_seq_cst);
    return true;
}

bool Pool::steal(Worker& w, Job& job) {
    const std::size_t slots = workerSlots_.load(std::memory_order_acquire);
    if (slots < 2) return false;
    w.random ^= w.random << 13;
    w.random ^= w.random >> 17;
    w.random ^= w.random << 5;
    const std::size_t start = w.random % slots;
    for (std::size_t i = 0; i < slots; ++i) {
        Worker& victim = workers_[(start + i) % slots];
        if (&victim == &w || victim.listed.load(std::memory_order_relaxed) == 0) continue;
        std::array<Job, kShare> along;
        std::size_t taken = 0;
        {
            // A list in use by its owner or another thief is passed over, not waited for.
            std::unique_lock<std::mutex> lock(victim.mutex, std::try_to_lock);
            if (!lock.owns_lock() || victim.jobs.empty()) continue;
            job = victim.jobs.pop();
            // Half of what waits there, so that one trip evens out the load.
            const std::size_t share = std::min(kShare, victim.jobs.size() / 2);
            while (taken < share) along[taken++] = victim.jobs.pop();
            victim.listed.store(victim.jobs.size(), std::memory_order_seq_cst);
        }
        if (taken > 0) {
            std::lock_guard<std::mutex> lock(w.mutex);
            for (std::size_t k = 0; k < taken; ++k) w.jobs.push(std::move(along[k]));
            w.listed.store(w.jobs.size(), std::memory_order_seq_cst);
        }
        return true;
    }
    // Last, a job that waits in the slot of a worker held up by a long task.
    int64_t now = 0;
    for (std::size_t i = 0; i < slots; ++i) {
        Worker& victim = workers_[(start + i) % slots];
        if (&victim == &w || !victim.slot.holdsJob()) continue;
        if (now == 0) now = NextJobSlot::nanosOf(Clock::now());
        if ((job = victim.slot.takeOutstayed(now))) return true;
    }
    return false;
}

bool Pool::shouldSpin() {
    // While another worker runs a job, the jobs that follow mostly come from it, and it takes
    // the first itself: a spinner would burn a core for the rest. The pool otherwise idle, the
    // next job comes from outside (an event, another thread) and a spinner catches it without
    // a wake-up.
    if (running_.load(std::memory_order_relaxed) != 0 || spinning_.load(std::memory_order_relaxed) != 0)
        return false;
    if (spinning_.fetch_add(1, std::memory_order_acq_rel) == 0) return true;
    // Another worker started spinning first: give back the count we took.
    spinning_.fetch_sub(1, std::memory_order_acq_rel);
    return false;
}

std::size_t Pool::spinningWorkers() const { return spinning_.load(std::memory_order_acquire); }

void Pool::spinForWork(const Worker& w) {
    // A moment awake before sleeping: in a stream of requests the next job usually comes
    // within microseconds, and a sleep costs a wake-up on both sides. The next job is often a
    // descriptor's event: taken here, the work it posts lands in this worker's next-job slot,
    // without waiting for the reactor thread to wake and hand it over.
    // That look is a system call, which leaves the lists unwatched while it lasts: it is taken
    // only every kEventLookInterval.
    auto now = std::chrono::steady_clock::now();
    const auto until = now + kSpinTime;
    auto nextLook = now;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (workListed()) return;
            cpuRelax();
        }
        now = std::chrono::steady_clock::now();
        if (now >= nextLook) {
            if (Reactor::takeEventsNow() && (w.slot.holdsJob() || workListed())) return;
            if (slotOutstayed(NextJobSlot::nanosOf(now))) return;
            nextLook = now + kEventLookInterval;
        }
        if (now >= until) return;
    }
}

bool Pool::park(Worker& w) {
    std::unique_lock<std::mutex> lock(idleMutex_);
    w.woken = false;
    sleepers_.push_back(&w);
    lock.unlock();
    // Listed as asleep before no longer counted as searching: a submitter that finds no
    // searcher then finds this worker to wake. Looking once more afterwards catches a job
    // whose submitter still saw this worker searching.
    searching_.fetch_sub(1, std::memory_order_seq_cst);
    const bool work = workListed();
    lock.lock();
    if (work && !w.woken) {
        sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), &w));
        w.woken = true;
        searching_.fetch_add(1, std::memory_order_seq_cst);
    }
    while (!w.woken) {
        if (w.cv.wait_for(lock, kIdleTimeout) == std::cv_status::timeout && !w.woken && threads_ > minWorkers_) {
            sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), &w));
            --threads_;
            w.inUse = false;
            return false;
        }
    }
    return true;  // searching again, counted by whoever woke us
}

void Pool::runJob(Worker& w, Job job) {
    for (std::size_t batches = 1; job->runBatch(kBatch); ++batches) {
        // Tasks remain. A busy queue (the one every connection posts to) goes on here for a
        // while: what else waits for this worker is offered to the others, which take it in
        // parallel, instead of the busy queue waiting behind it.
        if (Job waiting = w.slot.takeOwn()) pushLocal(w, std::move(waiting));
        const bool othersWait =
            w.listed.load(std::memory_order_relaxed) != 0 || globalListed_.load(std::memory_order_relaxed) > 0;
        if (othersWait && batches >= kBatchesInARow) {
            pushLocal(w, std::move(job));
            notify();
            return;
        }
        if (othersWait) notify();
    }
}

void Pool::runConcurrent(Worker& w, Task task) {
    // The task may block for long: what waits for this worker goes where others take it.
    handOff(w);
    running_.fetch_sub(1, std::memory_order_relaxed);
    blockedOnce();
    tlsBlockDepth = 1;
    runTaskCatching(task, "global concurrent");
    task = nullptr;  // what the task captured goes now, while still counted as blocked
    tlsBlockDepth = 0;
    running_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(idleMutex_);
    --blocked_;
}

void Pool::handOff(Worker& w) {
    std::vector<Job> jobs;
    if (Job waiting = w.slot.takeOwn()) jobs.push_back(std::move(waiting));
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        while (!w.jobs.empty()) jobs.push_back(w.jobs.pop());
        w.listed.store(0, std::memory_order_seq_cst);
    }
    listInInbox(jobs.data(), jobs.size());
}

void Pool::willBlock() {
    if (!tlsPoolWorker || tlsBlockDepth++ > 0) return;
    // Jobs waiting for this worker must not wait for the block to end.
    handOff(*tlsWorker);
    running_.fetch_sub(1, std::memory_order_relaxed);
    blockedOnce();
}

void Pool::blockedOnce() {
    Worker* woken = nullptr;
    {
        std::lock_guard<std::mutex> lock(idleMutex_);
        ++blocked_;
        // One running worker fewer: another may start in its place.
        if (workListed()) woken = wakeOneLocked();
    }
    if (woken) woken->cv.notify_one();
}

void Pool::didUnblock() {
    if (!tlsPoolWorker || --tlsBlockDepth > 0) return;
    running_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(idleMutex_);
    --blocked_;
}

std::size_t Pool::threadCount() {
    std::lock_guard<std::mutex> lock(idleMutex_);
    return threads_;
}

void Pool::workerMain(Worker* self) {
    tlsPoolWorker = true;
    tlsWorker = self;
    pthread_setname_np(pthread_self(), "pellix-worker");
    Worker& w = *self;
    w.random = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(self) >> 6) | 1u;
    bool searching = true;  // counted in searching_ by whoever started this thread
    bool spun = false;
    for (;;) {
        Job job;
        Task task;
        if (!takeJob(w, job, task, searching)) {
            if (!searching) {
                searching = true;
                running_.fetch_sub(1, std::memory_order_relaxed);
                searching_.fetch_add(1, std::memory_order_seq_cst);
                continue;  // look again, now at the other workers' lists too
            }
            if (!spun && shouldSpin()) {
                spinForWork(w);
                spinning_.fetch_sub(1, std::memory_order_acq_rel);
                spun = true;
                continue;
            }
            spun = false;
            if (!park(w)) {
                tlsWorker = nullptr;
                tlsPoolWorker = false;
                return;
            }
            continue;
        }
        spun = false;
        if (searching) {
            searching = false;
            running_.fetch_add(1, std::memory_order_relaxed);
            // The last searcher that finds a job hands the search on, so that jobs listed
            // while it searched (whose submitters woke nobody) are not left waiting.
            if (searching_.fetch_sub(1, std::memory_order_seq_cst) == 1 && workListed()) notify();
        }
        if (job)
            runJob(w, std::move(job));
        else
            runConcurrent(w, std::move(task));
    }
}

Pool::SubmissionBatch::SubmissionBatch() : active_(!tlsWorker && !tlsHeld.active) {
    if (active_) tlsHeld.active = true;
}

Pool::SubmissionBatch::~SubmissionBatch() {
    if (!active_) return;
    tlsHeld.active = false;
    if (tlsHeld.jobs.empty()) return;
    Pool& pool = shared();
    pool.listInInbox(tlsHeld.jobs.data(), tlsHeld.jobs.size());
    tlsHeld.jobs.clear();
    pool.notify();
}

BlockingScope::BlockingScope() : active_(onPoolWorker()) {
    if (active_) Pool::shared().willBlock();
}

BlockingScope::~BlockingScope() {
    if (active_) Pool::shared().didUnblock();
}

bool onPoolWorker() { return tlsPoolWorker; }

namespace {

template <class F>
void runCatching(F&& run, std::string_view queueLabel) noexcept {
    try {
        run();
    } catch (const std::exception& e) {
        plainLog("Dispatch queue \"%@\": a task threw and was abandoned: %@", queueLabel, e.what());
    } catch (...) {
        plainLog("Dispatch queue \"%@\": a task threw and was abandoned: unknown exception", queueLabel);
    }
}

}  // namespace

void runTaskCatching(const Task& task, std::string_view queueLabel) noexcept {
    if (task) runCatching(task, queueLabel);
}

void runTaskCatching(TaskNode& task, std::string_view queueLabel) noexcept {
    runCatching([&task] { task.run(); }, queueLabel);
}

}  // namespace platform::detail
