#include "Platform/Dispatch/detail/Pool.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"

namespace platform::detail {

namespace {

thread_local bool tlsPoolWorker = false;
// Nesting depth of blocking on this worker: only the outermost block is counted, so a
// semaphore wait inside a concurrent task (already counted as blocking) counts once.
thread_local int tlsBlockDepth = 0;

}  // namespace

// The worker running on this thread, for willBlock() to hand back the queues it took.
thread_local Pool::Worker* Pool::tlsWorker = nullptr;

namespace {

}  // namespace

Pool& Pool::shared() {
    // Never destroyed: detached workers may still wait on its mutex while the process exits.
    static Pool* pool = new Pool();
    return *pool;
}

Pool::Pool() : minWorkers_(std::max<std::size_t>(2, processorCount())) {}

void Pool::submit(std::shared_ptr<PoolClient> client) {
    std::unique_lock<std::mutex> lock(mutex_);
    pushLocked(Job{std::move(client), Task()}, lock);
}

void Pool::submitConcurrent(Task task) {
    std::unique_lock<std::mutex> lock(mutex_);
    pushLocked(Job{nullptr, std::move(task)}, lock);
}

void Pool::pushLocked(Job job, std::unique_lock<std::mutex>&) {
    runList_.push_back(std::move(job));
    listed_.store(runList_.size(), std::memory_order_release);
    provideWorkerLocked();
}

void Pool::provideWorkerLocked() {
    // Workers between two jobs will take listed jobs anyway: wake or start another only when
    // the run list outgrows them, so that a burst of submissions costs a few wake-ups, not one
    // each.
    if (runList_.size() <= searching_) return;
    if (!idle_.empty()) {
        Worker* w = idle_.back();
        idle_.pop_back();
        w->woken = true;
        ++searching_;
        w->cv.notify_one();
        return;
    }
    if (threads_ - blocked_ >= minWorkers_ || threads_ >= kMaxThreads) return;
    try {
        std::thread([this] { workerMain(); }).detach();
        ++threads_;
        ++searching_;
    } catch (const std::system_error& e) {
        // The jobs stay listed; the next submission or a finishing worker picks them up.
        plainLog("Dispatch pool: cannot start a worker thread: %@", e.what());
    }
}

void Pool::willBlock() {
    if (!tlsPoolWorker || tlsBlockDepth++ > 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ++blocked_;
    // Queues this worker took along but has not started must not wait for the block to end.
    if (Worker* w = tlsWorker) {
        while (w->count > w->next) runList_.push_front(Job{std::move(w->grabbed[--w->count]), Task()});
        listed_.store(runList_.size(), std::memory_order_release);
    }
    while (runList_.size() > searching_ && (!idle_.empty() || threads_ - blocked_ < minWorkers_)) {
        std::size_t before = searching_;
        provideWorkerLocked();
        if (searching_ == before) break;  // no thread could be started
    }
}

void Pool::didUnblock() {
    if (!tlsPoolWorker || --tlsBlockDepth > 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    --blocked_;
}

std::size_t Pool::threadCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

void Pool::workerMain() {
    tlsPoolWorker = true;
    pthread_setname_np(pthread_self(), "pellix-worker");
    Worker self;
    tlsWorker = &self;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (runList_.empty() && spinners_ < kMaxSpinners) {
            // Wait a moment awake before sleeping: in a burst of submissions the next job
            // usually comes within microseconds, and a sleep costs a wake-up on both sides.
            ++spinners_;
            lock.unlock();
            spinForWork();
            lock.lock();
            --spinners_;
        }
        if (runList_.empty()) {
            --searching_;
            self.woken = false;
            idle_.push_back(&self);
            while (!self.woken) {
                if (self.cv.wait_for(lock, kIdleTimeout) == std::cv_status::timeout && !self.woken &&
                    threads_ > minWorkers_) {
                    idle_.erase(std::find(idle_.begin(), idle_.end(), &self));
                    --threads_;
                    return;
                }
            }
            continue;
        }
        Job job = std::move(runList_.front());
        runList_.pop_front();
        --searching_;
        listed_.store(runList_.size(), std::memory_order_relaxed);
        if (job.client) {
            // When the run list is long, take a fair share of queues at once: fewer trips
            // through the pool's lock for a burst of one-task queues.
            const std::size_t awake = std::max<std::size_t>(1, threads_ - idle_.size() - blocked_);
            const std::size_t share = std::min(kGrab, 1 + runList_.size() / awake);
            self.grabbed[0] = std::move(job.client);
            self.count = 1;
            while (self.count < share && !runList_.empty() && runList_.front().client) {
                self.grabbed[self.count++] = std::move(runList_.front().client);
                runList_.pop_front();
            }
            listed_.store(runList_.size(), std::memory_order_relaxed);
            lock.unlock();
            for (self.next = 0; self.next < self.count;) {
                std::shared_ptr<PoolClient> client = std::move(self.grabbed[self.next++]);
                client->runBatch(kBatch);
            }
            self.count = self.next = 0;
            lock.lock();
        } else {
            ++blocked_;
            tlsBlockDepth = 1;
            if (!runList_.empty()) provideWorkerLocked();
            lock.unlock();
            runTaskCatching(job.task, "global concurrent");
            job.task = nullptr;  // what the task captured goes now, outside the pool's lock
            lock.lock();
            tlsBlockDepth = 0;
            --blocked_;
        }
        ++searching_;
    }
}

void Pool::spinForWork() {
    const auto until = std::chrono::steady_clock::now() + kSpinTime;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (listed_.load(std::memory_order_acquire) != 0) return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        if (std::chrono::steady_clock::now() >= until) return;
    }
}

BlockingScope::BlockingScope() : active_(onPoolWorker()) {
    if (active_) Pool::shared().willBlock();
}

BlockingScope::~BlockingScope() {
    if (active_) Pool::shared().didUnblock();
}

bool onPoolWorker() { return tlsPoolWorker; }

void runTaskCatching(const Task& task, std::string_view queueLabel) noexcept {
    if (!task) return;
    try {
        task();
    } catch (const std::exception& e) {
        plainLog("Dispatch queue \"%@\": a task threw and was abandoned: %@", queueLabel, e.what());
    } catch (...) {
        plainLog("Dispatch queue \"%@\": a task threw and was abandoned: unknown exception", queueLabel);
    }
}

}  // namespace platform::detail
