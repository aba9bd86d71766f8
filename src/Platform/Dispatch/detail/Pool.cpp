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
    provideWorkerLocked();
}

void Pool::provideWorkerLocked() {
    if (!idle_.empty()) {
        Worker* w = idle_.back();
        idle_.pop_back();
        w->woken = true;
        w->cv.notify_one();
        return;
    }
    if (threads_ - blocked_ >= minWorkers_ || threads_ >= kMaxThreads) return;
    try {
        std::thread([this] { workerMain(); }).detach();
        ++threads_;
    } catch (const std::system_error& e) {
        // The jobs stay listed; the next submission or a finishing worker picks them up.
        plainLog("Dispatch pool: cannot start a worker thread: %@", e.what());
    }
}

void Pool::willBlock() {
    if (!tlsPoolWorker || tlsBlockDepth++ > 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ++blocked_;
    if (!runList_.empty()) provideWorkerLocked();
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
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (runList_.empty()) {
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
        if (job.client) {
            lock.unlock();
            job.client->runBatch(kBatch);
            job.client.reset();
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
