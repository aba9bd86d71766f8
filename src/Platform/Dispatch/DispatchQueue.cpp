#include "Platform/Dispatch/DispatchQueue.h"

#include <deque>
#include <exception>
#include <mutex>
#include <unordered_map>

#include "Platform/Dispatch/Semaphore.h"
#include "Platform/Dispatch/detail/Pool.h"
#include "Platform/Dispatch/detail/Reactor.h"
#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"

namespace platform {

struct DispatchQueue::SpecificTable {
    mutable std::mutex mutex;
    std::unordered_map<const void*, void*> values;  // guarded by mutex
};

namespace {

// The serial queue whose task this thread runs; restored when the task ends.
thread_local DispatchQueue* tlsCurrentQueue = nullptr;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(DispatchQueue* queue) : saved_(tlsCurrentQueue) { tlsCurrentQueue = queue; }
    ~CurrentQueueScope() { tlsCurrentQueue = saved_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    DispatchQueue* saved_;
};

class SerialQueue final : public DispatchQueue, public detail::PoolClient {
public:
    explicit SerialQueue(std::string label) : DispatchQueue(std::move(label)) {
        specifics_ = std::make_shared<SpecificTable>();
    }

    bool isSerial() const override { return true; }

    void async(Task task) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
            if (listed_) return;
            listed_ = true;
        }
        scheduleTurn(std::static_pointer_cast<SerialQueue>(shared_from_this()));
    }

    void runBatch(std::size_t limit) override {
        CurrentQueueScope scope(this);
        for (std::size_t n = 0;; ++n) {
            Task task;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (tasks_.empty()) {
                    listed_ = false;
                    return;
                }
                if (n == limit) break;  // still listed_: hand the queue back to the run list
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            detail::runTaskCatching(task, label());
        }
        scheduleTurn(std::static_pointer_cast<SerialQueue>(shared_from_this()));
    }

protected:
    bool syncInline(const std::function<void()>& task) override {
        // Held for the block: it may drop the caller's last reference to this queue.
        auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (listed_) return false;
            // Marked as being drained: async() only queues behind the block, and other sync
            // callers wait their turn, until the block ends.
            listed_ = true;
        }
        InlineTurn turn(std::move(self));
        auto runAsThisQueue = [&] {
            CurrentQueueScope scope(this);
            task();
        };
        std::shared_ptr<DispatchQueue> target = targetQueue();
        if (!target || target->heldByCaller()) {
            runAsThisQueue();
            return true;
        }
        // The target must be had as well, or the block would run alongside its tasks.
        return syncInlineOn(*target, runAsThisQueue);
    }

private:
    // Gives the queue its next turn: a task on its target when it has one, else a place on
    // the pool's run list.
    static void scheduleTurn(std::shared_ptr<SerialQueue> queue) {
        if (std::shared_ptr<DispatchQueue> target = queue->targetQueue()) {
            target->async([queue = std::move(queue)] { queue->runBatch(detail::Pool::kBatch); });
        } else {
            detail::Pool::shared().submit(std::move(queue));
        }
    }

    // Ends an inline block's turn, also when the block throws: what was queued meanwhile is
    // handed to the pool, otherwise the queue is idle again.
    class InlineTurn {
    public:
        explicit InlineTurn(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}
        ~InlineTurn() {
            {
                std::lock_guard<std::mutex> lock(queue_->mutex_);
                if (queue_->tasks_.empty()) {
                    queue_->listed_ = false;
                    return;
                }
            }
            scheduleTurn(std::move(queue_));
        }
        InlineTurn(const InlineTurn&) = delete;
        InlineTurn& operator=(const InlineTurn&) = delete;

    private:
        std::shared_ptr<SerialQueue> queue_;
    };

    std::mutex mutex_;
    std::deque<Task> tasks_;  // guarded by mutex_
    bool listed_ = false;     // guarded by mutex_; on the pool's run list or being drained
};

class ConcurrentQueue final : public DispatchQueue {
public:
    ConcurrentQueue() : DispatchQueue("global concurrent") { specifics_ = std::make_shared<SpecificTable>(); }

    bool isSerial() const override { return false; }

    void async(Task task) override {
        // Tasks of the concurrent queue run on no serial queue: current() is nullptr in them.
        detail::Pool::shared().submitConcurrent([task = std::move(task)] {
            CurrentQueueScope scope(nullptr);
            task();
        });
    }
};

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::globalConcurrent() {
    static const std::shared_ptr<DispatchQueue> queue = std::make_shared<ConcurrentQueue>();
    return queue;
}

void DispatchQueue::sync(const std::function<void()>& task) {
    if (heldByCaller()) {
        // Waiting for our own queue would never end; the caller already holds it, so running
        // the block here keeps the queue's one-at-a-time promise.
        plainLog("Dispatch queue \"%@\": sync called on the queue it runs on; running inline", label());
        CurrentQueueScope scope(this);
        task();
        return;
    }
    if (syncInline(task)) return;
    Semaphore done;
    std::exception_ptr failure;
    async([&] {
        try {
            task();
        } catch (...) {
            failure = std::current_exception();
        }
        done.signal();
    });
    done.wait();
    // The block's exception belongs to the caller that waits for it.
    if (failure) std::rethrow_exception(failure);
}

bool DispatchQueue::syncInline(const std::function<void()>&) { return false; }

void DispatchQueue::after(std::chrono::nanoseconds delay, Task task) {
    if (delay <= std::chrono::nanoseconds::zero()) {
        async(std::move(task));
        return;
    }
    auto self = shared_from_this();
    detail::Reactor::shared().addTimer(detail::Reactor::deadlineAfter(delay),
                                       [self, task = std::move(task)]() mutable { self->async(std::move(task)); });
}

void DispatchQueue::setTargetQueue(std::shared_ptr<DispatchQueue> target) {
    if (!isSerial()) {
        plainLog("Dispatch queue \"%@\": only a serial queue can have a target; left as it is", label());
        return;
    }
    if (target && !target->isSerial()) target.reset();
    // One change of any chain at a time, so that two changes cannot close a loop together.
    static std::mutex chainMutex;
    std::lock_guard<std::mutex> chainLock(chainMutex);
    if (target && target->runsOn(*this)) {
        plainLog("Dispatch queue \"%@\": target \"%@\" runs on this queue already; target left as it is", label(),
                 target->label());
        return;
    }
    std::lock_guard<std::mutex> lock(targetMutex_);
    target_ = std::move(target);
    hasTarget_.store(target_ != nullptr, std::memory_order_release);
}

std::shared_ptr<DispatchQueue> DispatchQueue::targetQueue() const {
    if (!hasTarget_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard<std::mutex> lock(targetMutex_);
    return target_;
}

bool DispatchQueue::runsOn(const DispatchQueue& queue) const {
    std::shared_ptr<DispatchQueue> next;  // keeps the queue under inspection alive
    for (const DispatchQueue* q = this; q; q = next.get()) {
        if (q == &queue) return true;
        next = q->targetQueue();
    }
    return false;
}

bool DispatchQueue::heldByCaller() const {
    DispatchQueue* queue = tlsCurrentQueue;
    return queue && queue->runsOn(*this);
}

void DispatchQueue::setSpecific(const void* key, void* value) {
    std::lock_guard<std::mutex> lock(specifics_->mutex);
    if (value)
        specifics_->values[key] = value;
    else
        specifics_->values.erase(key);
}

void* DispatchQueue::getSpecificOfQueue(const void* key) const {
    std::lock_guard<std::mutex> lock(specifics_->mutex);
    auto it = specifics_->values.find(key);
    return it == specifics_->values.end() ? nullptr : it->second;
}

void* DispatchQueue::getSpecific(const void* key) {
    std::shared_ptr<DispatchQueue> next;  // keeps the queue under inspection alive
    for (const DispatchQueue* queue = tlsCurrentQueue; queue; queue = next.get()) {
        if (void* value = queue->getSpecificOfQueue(key)) return value;
        next = queue->targetQueue();
    }
    return nullptr;
}

DispatchQueue* DispatchQueue::current() { return tlsCurrentQueue; }

std::string DispatchQueue::currentLabel() {
    if (DispatchQueue* queue = tlsCurrentQueue) return queue->label();
    return isMainThread() ? std::string(mainQueueLabel()) : std::string();
}

}  // namespace platform
